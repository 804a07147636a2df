#include "midi/jack_output.h"

#include <algorithm>
#include <cstring>

namespace tovra::midi {

namespace {

std::string openFailure(jack_status_t status, const std::string& server)
{
    const std::string named = server.empty() ? std::string() : " named \"" + server + "\"";
    if ((status & JackServerFailed) != 0) {
        return "no JACK server" + named + " is running";
    }
    if ((status & JackVersionError) != 0) {
        return "the JACK server" + named + " speaks another protocol version";
    }
    return "the JACK server" + named + " refused the client (status " + std::to_string(status) + ")";
}

} // namespace

std::optional<std::string> JackOutput::open(LostHandler lost)
{
    if (client_ != nullptr) {
        return std::nullopt;
    }
    lostHandler_ = std::move(lost);
    lost_.store(false);
    ring_ = std::make_unique<MessageRing>(library_, ringMessages_);
    if (!ring_->isValid()) {
        ring_.reset();
        return std::string("no memory for the JACK ring buffer");
    }
    for (auto step : {&JackOutput::openClient, &JackOutput::registerPort, &JackOutput::activate}) {
        if (auto problem = (this->*step)()) {
            close();
            return problem;
        }
    }
    return std::nullopt;
}

// The process and shutdown callbacks are set before activation, which starts them.
std::optional<std::string> JackOutput::openClient()
{
    jack_status_t status{};
    const auto options =
        static_cast<jack_options_t>(JackNoStartServer | (names_.server.empty() ? 0 : JackServerName));
    client_ = api_.clientOpen(names_.client.c_str(), options, &status, names_.server.c_str());
    if (client_ == nullptr) {
        return openFailure(status, names_.server);
    }
    if (api_.setProcessCallback(client_, &JackOutput::process, this) != 0) {
        return std::string("JACK refused the process callback");
    }
    api_.onInfoShutdown(client_, &JackOutput::shutDown, this);
    return std::nullopt;
}

std::optional<std::string> JackOutput::registerPort()
{
    port_ = api_.portRegister(client_, names_.port.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (port_ == nullptr) {
        return "JACK refused the MIDI port \"" + names_.port + "\"";
    }
    portName_ = api_.portName(port_); // the client's name as JACK gave it, then the port's
    return std::nullopt;
}

std::optional<std::string> JackOutput::activate()
{
    if (api_.activate(client_) != 0) {
        return std::string("JACK did not activate the client");
    }
    return std::nullopt;
}

// Closing a client whose server has gone returns at once: its requests fail on the closed socket.
void JackOutput::close()
{
    if (client_ != nullptr) {
        api_.clientClose(client_); // the client is gone whatever it returns
    }
    client_ = nullptr;
    port_ = nullptr;
    ring_.reset();
    portName_.clear();
}

bool JackOutput::send(const MidiMessage& message)
{
    if (!ring_->push(message)) {
        ++dropped_;
        return false;
    }
    return true;
}

std::optional<std::string> JackOutput::lost() const
{
    if (!lost_.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    return std::string(lostReason_.data());
}

// JACK's real-time thread: no lock, no allocation, no system call, nothing logged. A message the
// port's buffer has no room for waits for the next cycle.
int JackOutput::process(jack_nframes_t frames, void* self)
{
    auto& output = *static_cast<JackOutput*>(self);
    void* buffer = output.api_.portGetBuffer(output.port_, frames);
    output.api_.midiClearBuffer(buffer);
    output.ring_->drain([&](const std::uint8_t* data, std::size_t size) {
        return output.api_.midiEventWrite(buffer, 0, data, size) == 0;
    });
    return 0;
}

// Called on a thread of JACK's once the server has gone, as constrained as a signal handler.
void JackOutput::shutDown(jack_status_t, const char* reason, void* self)
{
    auto& output = *static_cast<JackOutput*>(self);
    const char* said = reason != nullptr && reason[0] != '\0' ? reason : "no reason given";
    constexpr char kPrefix[] = "the JACK server went away: ";
    const std::size_t prefix = std::min(sizeof kPrefix - 1, output.lostReason_.size() - 1);
    std::memcpy(output.lostReason_.data(), kPrefix, prefix);
    const std::size_t rest = std::min(std::strlen(said), output.lostReason_.size() - 1 - prefix);
    std::memcpy(output.lostReason_.data() + prefix, said, rest);
    output.lostReason_[prefix + rest] = '\0';
    output.lost_.store(true, std::memory_order_release);
    if (output.lostHandler_) {
        output.lostHandler_();
    }
}

} // namespace tovra::midi
