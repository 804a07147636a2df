#include "midi/alsa_sequencer_output.h"

namespace tovra::midi {

namespace {

constexpr unsigned int kPortCapabilities = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned int kPortType =
    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_APPLICATION;

std::string failure(const char* step, int error)
{
    return std::string(step) + " failed: " + snd_strerror(error);
}

// The library prints its own errors to standard error by default: every failed open would put a
// line in the log. The reasons this output gives say the same once.
void ignoreLibraryError(const char*, int, const char*, int, const char*, ...) {}

} // namespace

snd_seq_event_t sequencerEvent(const MidiMessage& message)
{
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    const int channel = message.bytes[0] & 0x0F;
    const int first = message.bytes[1];
    const int second = message.bytes[2];
    switch (message.bytes[0] & 0xF0) {
    case 0x80:
        snd_seq_ev_set_noteoff(&event, channel, first, second);
        break;
    case 0x90:
        snd_seq_ev_set_noteon(&event, channel, first, second);
        break;
    case 0xA0:
        snd_seq_ev_set_keypress(&event, channel, first, second);
        break;
    case 0xB0:
        snd_seq_ev_set_controller(&event, channel, first, second);
        break;
    case 0xC0:
        snd_seq_ev_set_pgmchange(&event, channel, first);
        break;
    case 0xD0:
        snd_seq_ev_set_chanpress(&event, channel, first);
        break;
    case 0xE0: // 14 bits, least significant first; the sequencer counts from the centre
        snd_seq_ev_set_pitchbend(&event, channel, ((second << 7) | first) - 8192);
        break;
    }
    return event;
}

std::optional<std::string> AlsaSequencerOutput::open(LostHandler)
{
    if (sequencer_ != nullptr) {
        return std::nullopt;
    }
    if (auto problem = openSequencer()) {
        return problem;
    }
    for (auto step : {&AlsaSequencerOutput::nameClient, &AlsaSequencerOutput::createPort}) {
        if (auto problem = (this->*step)()) {
            close();
            return problem;
        }
    }
    return std::nullopt;
}

// Output only, and non-blocking: a full queue drops a message instead of stalling the sender.
std::optional<std::string> AlsaSequencerOutput::openSequencer()
{
    snd_lib_error_set_handler(ignoreLibraryError);
    const int result = snd_seq_open(&sequencer_, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK);
    if (result < 0) {
        sequencer_ = nullptr;
        return failure("opening the sequencer (/dev/snd/seq)", result);
    }
    return std::nullopt;
}

std::optional<std::string> AlsaSequencerOutput::nameClient()
{
    const int result = snd_seq_set_client_name(sequencer_, name_.c_str());
    if (result < 0) {
        return failure("naming the sequencer client", result);
    }
    return std::nullopt;
}

std::optional<std::string> AlsaSequencerOutput::createPort()
{
    const int result = snd_seq_create_simple_port(sequencer_, name_.c_str(), kPortCapabilities, kPortType);
    if (result < 0) {
        return failure("creating the sequencer port", result);
    }
    port_ = result;
    return std::nullopt;
}

void AlsaSequencerOutput::close()
{
    if (sequencer_ == nullptr) {
        return;
    }
    snd_seq_close(sequencer_); // frees the client whatever it returns; its port goes with it
    sequencer_ = nullptr;
    port_ = -1;
}

bool AlsaSequencerOutput::send(const MidiMessage& message)
{
    snd_seq_event_t event = sequencerEvent(message);
    snd_seq_ev_set_source(&event, port_);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    if (snd_seq_event_output_direct(sequencer_, &event) < 0) {
        ++dropped_;
        return false;
    }
    return true;
}

} // namespace tovra::midi
