#pragma once

#include "midi/midi_output.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace tovra::midi {

// Learns from the kernel (inotify) when a system's output may have become possible, so that
// nothing has to ask again and again: the ALSA sequencer's device appearing or being opened to
// the user, a JACK server's socket appearing (jackd and jackdbus), PipeWire's socket appearing.
class DeviceWatch {
public:
    struct Places {
        std::filesystem::path devices = "/dev";         // where the sound folder "snd" appears
        std::filesystem::path jackSockets = "/dev/shm"; // where JACK servers put their sockets
        std::string jackSocket;                         // the socket of the server asked for
        std::filesystem::path runtime = {}; // $XDG_RUNTIME_DIR, where PipeWire's are; none: not watched
    };

    explicit DeviceWatch(Places places);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Why the watch, or a part of it, does not work; what it cannot see is never reported.
    const std::optional<std::string>& problem() const { return problem_; }
    // Readable when something may have appeared; -1 without a watch.
    int descriptor() const { return descriptor_; }
    // The systems whose output may have become possible since the last call; never blocks.
    std::set<MidiSystem> readChanges();

    // The socket name of JACK server `server` ("default" when empty) for user `uid`.
    static std::string jackSocketName(const std::string& server, unsigned uid);

private:
    int watch(const std::filesystem::path& folder, std::uint32_t events);
    void watchSoundFolder();

    Places places_;
    std::optional<std::string> problem_;
    int descriptor_ = -1;
    int devices_ = -1;
    int sound_ = -1;
    int jackSockets_ = -1;
    int runtime_ = -1;
};

} // namespace tovra::midi
