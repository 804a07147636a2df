#pragma once

#include "midi/jack_library.h"
#include "midi/message_ring.h"
#include "midi/midi_output.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tovra::midi {

// A JACK client with one MIDI output port. Messages go through a ring buffer to the process
// callback, which writes them at the start of the next cycle. It never starts a JACK server.
class JackOutput final : public MidiOutput {
public:
    struct Names {
        std::string client;      // "Tovra Bridge"; JACK may add a suffix when the name is taken
        std::string port;        // the port's short name
        std::string server = {}; // the JACK server to ask; empty for the default one
    };
    // Messages the ring holds: a burst of this many between two cycles is never dropped.
    static constexpr std::size_t kRingMessages = 16383;

    JackOutput(std::shared_ptr<const JackLibrary> library, Names names,
               std::size_t ringMessages = kRingMessages)
        : library_(std::move(library)), api_(library_->api()), names_(std::move(names)),
          ringMessages_(ringMessages)
    {
    }
    ~JackOutput() override { close(); }
    JackOutput(const JackOutput&) = delete;
    JackOutput& operator=(const JackOutput&) = delete;

    MidiSystem system() const override { return MidiSystem::jack; }
    std::optional<std::string> open(LostHandler lost) override;
    void close() override;
    bool send(const MidiMessage& message) override;
    std::string portName() const override { return portName_; }
    std::uint64_t dropped() const override { return dropped_; }
    std::optional<std::string> lost() const override;

private:
    std::optional<std::string> openClient();
    std::optional<std::string> registerPort();
    std::optional<std::string> activate();
    static int process(jack_nframes_t frames, void* self);
    static void shutDown(jack_status_t code, const char* reason, void* self);

    std::shared_ptr<const JackLibrary> library_;
    const JackApi& api_;
    Names names_;
    std::size_t ringMessages_;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::unique_ptr<MessageRing> ring_;
    std::string portName_;
    LostHandler lostHandler_;
    std::uint64_t dropped_ = 0;
    // Written by the shutdown callback before `lost_` is set, read only after.
    std::array<char, 256> lostReason_{};
    std::atomic<bool> lost_{false};
};

} // namespace tovra::midi
