#include "midi/jack_library.h"

#include <dlfcn.h>

#include <optional>

namespace tovra::midi {

namespace {

void ignoreMessage(const char*) {}

// Sets `function` to the library's symbol `name`; false when the library has none.
template <typename Function> bool bind(void* handle, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(handle, name));
    return function != nullptr;
}

std::optional<std::string> bindAll(void* handle, JackApi& api)
{
    const bool all = bind(handle, "jack_client_open", api.clientOpen) &&
                     bind(handle, "jack_client_close", api.clientClose) &&
                     bind(handle, "jack_activate", api.activate) &&
                     bind(handle, "jack_set_process_callback", api.setProcessCallback) &&
                     bind(handle, "jack_on_info_shutdown", api.onInfoShutdown) &&
                     bind(handle, "jack_set_error_function", api.setErrorFunction) &&
                     bind(handle, "jack_set_info_function", api.setInfoFunction) &&
                     bind(handle, "jack_port_register", api.portRegister) &&
                     bind(handle, "jack_port_name", api.portName) &&
                     bind(handle, "jack_port_get_buffer", api.portGetBuffer) &&
                     bind(handle, "jack_midi_clear_buffer", api.midiClearBuffer) &&
                     bind(handle, "jack_midi_event_write", api.midiEventWrite) &&
                     bind(handle, "jack_ringbuffer_create", api.ringbufferCreate) &&
                     bind(handle, "jack_ringbuffer_free", api.ringbufferFree) &&
                     bind(handle, "jack_ringbuffer_mlock", api.ringbufferMlock) &&
                     bind(handle, "jack_ringbuffer_write_space", api.ringbufferWriteSpace) &&
                     bind(handle, "jack_ringbuffer_write", api.ringbufferWrite) &&
                     bind(handle, "jack_ringbuffer_peek", api.ringbufferPeek) &&
                     bind(handle, "jack_ringbuffer_read_advance", api.ringbufferReadAdvance);
    if (!all) {
        return std::string("JACK's library lacks a function it should have: ") + ::dlerror();
    }
    return std::nullopt;
}

} // namespace

std::variant<std::shared_ptr<const JackLibrary>, std::string> JackLibrary::load(const char* file)
{
    void* handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return std::string("JACK's library cannot be loaded: ") + ::dlerror();
    }
    auto library = std::make_shared<JackLibrary>(JackLibrary());
    if (auto problem = bindAll(handle, library->api_)) {
        ::dlclose(handle);
        return *problem;
    }
    library->api_.setErrorFunction(ignoreMessage);
    library->api_.setInfoFunction(ignoreMessage);
    return std::shared_ptr<const JackLibrary>(std::move(library));
}

} // namespace tovra::midi
