#pragma once

#include "midi/midi_output.h"

#include <string>

namespace tovra::midi {

// An output that cannot be had at all (its system's library is missing): it says why on every open.
class UnavailableOutput final : public MidiOutput {
public:
    UnavailableOutput(MidiSystem system, std::string problem) : system_(system), problem_(std::move(problem))
    {
    }

    MidiSystem system() const override { return system_; }
    std::optional<std::string> open(LostHandler) override { return problem_; }
    void close() override {}
    bool send(const MidiMessage&) override { return false; }
    std::string portName() const override { return {}; }
    std::uint64_t dropped() const override { return 0; }

private:
    MidiSystem system_;
    std::string problem_;
};

} // namespace tovra::midi
