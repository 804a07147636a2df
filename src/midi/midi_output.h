#pragma once

#include "midi/midi_message.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tovra::midi {

// The systems an output can belong to.
enum class MidiSystem { alsa, jack };

// The system's name as the log and the state give it.
constexpr std::string_view systemName(MidiSystem system)
{
    return system == MidiSystem::alsa ? "ALSA" : "JACK";
}

// One virtual MIDI output port of one system. Not thread-safe: its owner calls one method at a
// time, and send only between a successful open and close.
class MidiOutput {
public:
    // Called at most once per open when the system takes the port away (a JACK server that ends),
    // on a thread of the system's, which may be as constrained as a signal handler: it may only do
    // what is async-signal-safe (an atomic store, a write to a descriptor). The owner then reads
    // lost() and closes the output, not from within the call.
    using LostHandler = std::function<void()>;

    virtual ~MidiOutput() = default;
    virtual MidiSystem system() const = 0;
    // Opens the port; none on success, otherwise why not, in words for the log.
    virtual std::optional<std::string> open(LostHandler lost) = 0;
    // Closes the port; a closed output stays closed. Returns once no callback of the system runs.
    virtual void close() = 0;
    // Hands one message to the port's subscribers; false when it was dropped (and counted).
    virtual bool send(const MidiMessage& message) = 0;
    // The port's name as a music program lists it; only while open.
    virtual std::string portName() const = 0;
    // Messages dropped since the output was made.
    virtual std::uint64_t dropped() const = 0;
    // Why the system took the port away, once the lost handler was called; none before.
    virtual std::optional<std::string> lost() const { return std::nullopt; }
};

} // namespace tovra::midi
