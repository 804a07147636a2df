#pragma once

#include "midi/midi_output.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tovra::midi {

// The sequencer event that carries `message` (a checked channel message); source, destination
// and timing are left to the sender.
snd_seq_event_t sequencerEvent(const MidiMessage& message);

// A client of the ALSA sequencer named `name`, with one output port of that name that others
// subscribe to; every message goes straight to its subscribers.
class AlsaSequencerOutput final : public MidiOutput {
public:
    explicit AlsaSequencerOutput(std::string name) : name_(std::move(name)) {}
    ~AlsaSequencerOutput() override { close(); }
    AlsaSequencerOutput(const AlsaSequencerOutput&) = delete;
    AlsaSequencerOutput& operator=(const AlsaSequencerOutput&) = delete;

    MidiSystem system() const override { return MidiSystem::alsa; }
    std::optional<std::string> open(LostHandler lost) override;
    void close() override;
    bool send(const MidiMessage& message) override;
    std::string portName() const override { return name_; }
    std::uint64_t dropped() const override { return dropped_; }

private:
    std::optional<std::string> openSequencer();
    std::optional<std::string> nameClient();
    std::optional<std::string> createPort();

    std::string name_;
    snd_seq_t* sequencer_ = nullptr;
    int port_ = -1;
    std::uint64_t dropped_ = 0;
};

} // namespace tovra::midi
