#include "midi/device_watch.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>

namespace tovra::midi {

namespace {

constexpr std::uint32_t kAppearing = IN_CREATE | IN_MOVED_TO;

} // namespace

DeviceWatch::DeviceWatch(Places places) : places_(std::move(places))
{
    descriptor_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor_ < 0) {
        problem_ = std::string("cannot watch for MIDI systems (inotify): ") + std::strerror(errno);
        return;
    }
    devices_ = watch(places_.devices, kAppearing);
    jackSockets_ = watch(places_.jackSockets, kAppearing);
    if (!places_.runtime.empty()) {
        runtime_ = watch(places_.runtime, kAppearing);
    }
    watchSoundFolder();
}

// A watch of `folder`; one that cannot be had is the watch's problem.
int DeviceWatch::watch(const std::filesystem::path& folder, std::uint32_t events)
{
    const int watch = ::inotify_add_watch(descriptor_, folder.c_str(), events);
    if (watch < 0 && !problem_) {
        problem_ = "cannot watch " + folder.string() + " for MIDI systems: " + std::strerror(errno);
    }
    return watch;
}

DeviceWatch::~DeviceWatch()
{
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

std::string DeviceWatch::jackSocketName(const std::string& server, unsigned uid)
{
    return "jack_" + (server.empty() ? std::string("default") : server) + "_" + std::to_string(uid) + "_0";
}

// The sequencer's device is "seq" in it: made, or opened to the user later (its attributes).
void DeviceWatch::watchSoundFolder()
{
    sound_ = ::inotify_add_watch(descriptor_, (places_.devices / "snd").c_str(), kAppearing | IN_ATTRIB);
}

std::set<MidiSystem> DeviceWatch::readChanges()
{
    std::set<MidiSystem> changed;
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t length = ::read(descriptor_, buffer.data(), buffer.size());
        if (length <= 0) {
            return changed; // drained (EAGAIN), or no watch at all
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const std::string name = event->len > 0 ? event->name : "";
            if (event->wd == devices_ && name == "snd") {
                watchSoundFolder();
                changed.insert(MidiSystem::alsa);
            } else if (event->wd == sound_ && (event->mask & IN_IGNORED) != 0) {
                sound_ = -1; // the folder went; its coming back is seen in the devices' folder
            } else if (event->wd == sound_ && name == "seq") {
                changed.insert(MidiSystem::alsa);
            } else if (event->wd == jackSockets_ && name == places_.jackSocket) {
                changed.insert(MidiSystem::jack);
            } else if (event->wd == runtime_ && name.starts_with("pipewire-")) {
                changed.insert(MidiSystem::jack);
            }
        }
    }
}

} // namespace tovra::midi
