#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <memory>
#include <string>
#include <variant>

namespace tovra::midi {

// The functions of JACK's library that the JACK output uses, typed by JACK's own declarations.
struct JackApi {
    decltype(&::jack_client_open) clientOpen;
    decltype(&::jack_client_close) clientClose;
    decltype(&::jack_activate) activate;
    decltype(&::jack_set_process_callback) setProcessCallback;
    decltype(&::jack_on_info_shutdown) onInfoShutdown;
    decltype(&::jack_set_error_function) setErrorFunction;
    decltype(&::jack_set_info_function) setInfoFunction;
    decltype(&::jack_port_register) portRegister;
    decltype(&::jack_port_name) portName;
    decltype(&::jack_port_get_buffer) portGetBuffer;
    decltype(&::jack_midi_clear_buffer) midiClearBuffer;
    decltype(&::jack_midi_event_write) midiEventWrite;
    decltype(&::jack_ringbuffer_create) ringbufferCreate;
    decltype(&::jack_ringbuffer_free) ringbufferFree;
    decltype(&::jack_ringbuffer_mlock) ringbufferMlock;
    decltype(&::jack_ringbuffer_write_space) ringbufferWriteSpace;
    decltype(&::jack_ringbuffer_write) ringbufferWrite;
    decltype(&::jack_ringbuffer_peek) ringbufferPeek;
    decltype(&::jack_ringbuffer_read_advance) ringbufferReadAdvance;
};

// JACK's library, loaded when the program runs rather than linked, so that a machine without it
// still has its other outputs. Once loaded it stays for the life of the process: the library
// keeps threads and globals of its own that must not lose their code.
class JackLibrary {
public:
    // The library in `file` ("libjack.so.0" is the one that JACK and PipeWire install), or why it
    // cannot be used. The library's own messages are silenced: each problem is reported once by
    // whoever uses it, not printed on every attempt.
    static std::variant<std::shared_ptr<const JackLibrary>, std::string> load(const char* file);

    const JackApi& api() const { return api_; }

private:
    JackApi api_{};
};

} // namespace tovra::midi
