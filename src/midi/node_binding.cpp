// The module's face to JavaScript: open(name, onChange), send(status, data1[, data2]), state(),
// close(). It converts values and makes the outputs; everything else is in the classes it uses.
#define NAPI_VERSION 8
#include <node_api.h>

#include "midi/alsa_sequencer_output.h"
#include "midi/device_watch.h"
#include "midi/jack_library.h"
#include "midi/jack_output.h"
#include "midi/midi_outputs.h"
#include "midi/unavailable_output.h"

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace tovra::midi;

constexpr const char* kJackPort = "midi_out";
constexpr const char* kJackLibrary = "libjack.so.0";
// How long close() waits for the outputs to close before it leaves them to the process's exit.
constexpr std::chrono::milliseconds kCloseLimit{500};

// The JavaScript callback, called through Node's queue. It is cleared under the lock when the
// outputs close or Node ends it, so that an outputs' thread left behind by a close that timed out
// can no longer reach it.
struct Notifier {
    std::mutex mutex;
    napi_threadsafe_function function = nullptr;

    void notify()
    {
        std::lock_guard lock(mutex);
        if (function != nullptr) {
            napi_call_threadsafe_function(function, nullptr, napi_tsfn_nonblocking);
        }
    }

    void release()
    {
        napi_threadsafe_function released = nullptr;
        {
            std::lock_guard lock(mutex);
            released = std::exchange(function, nullptr);
        }
        if (released != nullptr) {
            napi_release_threadsafe_function(released, napi_tsfn_abort);
        }
    }

    // Node ended the function (it does so when its environment goes); `data` is a Notifier held.
    static void ended(napi_env, void* data, void*)
    {
        auto* held = static_cast<std::shared_ptr<Notifier>*>(data);
        {
            std::lock_guard lock((*held)->mutex);
            (*held)->function = nullptr;
        }
        delete held;
    }
};

struct Addon {
    std::unique_ptr<MidiOutputs> outputs;
    std::shared_ptr<Notifier> notifier;
};

// Throws `message` as a JavaScript error of the kind `make` builds; returns nothing to hand back.
napi_value fail(napi_env env, const std::string& message,
                napi_status (*make)(napi_env, const char*, const char*) = napi_throw_error)
{
    make(env, nullptr, message.c_str());
    return nullptr;
}

Addon& addonOf(napi_env env)
{
    void* data = nullptr;
    napi_get_instance_data(env, &data);
    return *static_cast<Addon*>(data);
}

napi_value string(napi_env env, const std::string& text)
{
    napi_value value = nullptr;
    napi_create_string_utf8(env, text.data(), text.size(), &value);
    return value;
}

napi_value stateValue(napi_env env, const std::vector<OutputState>& state)
{
    napi_value list = nullptr;
    napi_create_array_with_length(env, state.size(), &list);
    for (std::size_t i = 0; i < state.size(); ++i) {
        napi_value entry = nullptr;
        napi_value open = nullptr;
        napi_value dropped = nullptr;
        napi_create_object(env, &entry);
        napi_get_boolean(env, state[i].open, &open);
        napi_create_double(env, static_cast<double>(state[i].dropped), &dropped);
        napi_set_named_property(env, entry, "system", string(env, std::string(systemName(state[i].system))));
        napi_set_named_property(env, entry, "open", open);
        napi_set_named_property(env, entry, "port", string(env, state[i].port));
        napi_set_named_property(env, entry, "problem", string(env, state[i].problem));
        napi_set_named_property(env, entry, "dropped", dropped);
        napi_set_element(env, list, static_cast<uint32_t>(i), entry);
    }
    return list;
}

// On Node's thread, for each change the outputs' thread reported.
void callJavaScript(napi_env env, napi_value callback, void*, void*)
{
    if (env == nullptr || callback == nullptr || !addonOf(env).outputs) {
        return;
    }
    Addon& addon = addonOf(env);
    napi_value state = stateValue(env, addon.outputs->state());
    napi_value undefined = nullptr;
    napi_get_undefined(env, &undefined);
    napi_call_function(env, undefined, callback, 1, &state, nullptr);
}

std::vector<std::unique_ptr<MidiOutput>> makeOutputs(const std::string& name, const std::string& jackServer)
{
    std::vector<std::unique_ptr<MidiOutput>> outputs;
    outputs.push_back(std::make_unique<AlsaSequencerOutput>(name));
    auto library = JackLibrary::load(kJackLibrary);
    if (auto* loaded = std::get_if<std::shared_ptr<const JackLibrary>>(&library)) {
        outputs.push_back(
            std::make_unique<JackOutput>(*loaded, JackOutput::Names{name, kJackPort, jackServer}));
    } else {
        outputs.push_back(
            std::make_unique<UnavailableOutput>(MidiSystem::jack, std::get<std::string>(library)));
    }
    return outputs;
}

std::unique_ptr<DeviceWatch> makeWatch(const std::string& jackServer)
{
    DeviceWatch::Places places;
    places.jackSocket = DeviceWatch::jackSocketName(jackServer, ::getuid());
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        places.runtime = runtime;
    }
    return std::make_unique<DeviceWatch>(std::move(places));
}

// open(name, onChange): opens the outputs named `name`; onChange(state) follows every change.
napi_value open(napi_env env, napi_callback_info info)
{
    size_t count = 2;
    std::array<napi_value, 2> args{};
    napi_get_cb_info(env, info, &count, args.data(), nullptr, nullptr);
    std::array<char, 256> name{};
    size_t length = 0;
    napi_valuetype callbackType = napi_undefined;
    napi_typeof(env, args[1], &callbackType);
    if (count < 2 || napi_get_value_string_utf8(env, args[0], name.data(), name.size(), &length) != napi_ok ||
        length == 0 || callbackType != napi_function) {
        return fail(env, "open(name, onChange) takes a name and a function", napi_throw_type_error);
    }
    Addon& addon = addonOf(env);
    if (addon.outputs) {
        return fail(env, "the MIDI outputs are open already");
    }
    auto notifier = std::make_shared<Notifier>();
    napi_value resource = string(env, "tovra-midi");
    auto* held = new std::shared_ptr<Notifier>(notifier);
    if (napi_create_threadsafe_function(env, args[1], nullptr, resource, 0, 1, held, Notifier::ended, nullptr,
                                        callJavaScript, &notifier->function) != napi_ok) {
        delete held;
        return fail(env, "cannot make the MIDI outputs' callback");
    }
    napi_unref_threadsafe_function(env, notifier->function); // it keeps no one waiting for it
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    const std::string jackServer = server != nullptr ? server : "";
    addon.notifier = notifier;
    addon.outputs = std::make_unique<MidiOutputs>(makeOutputs(std::string(name.data(), length), jackServer),
                                                  makeWatch(jackServer), [notifier] { notifier->notify(); });
    addon.outputs->start();
    napi_value state = stateValue(env, addon.outputs->state());
    return state;
}

// Reads one byte argument: an integral number 0-255.
bool byteOf(napi_env env, napi_value value, std::uint8_t& byte)
{
    double number = 0;
    if (napi_get_value_double(env, value, &number) != napi_ok || std::trunc(number) != number || number < 0 ||
        number > 255) {
        return false;
    }
    byte = static_cast<std::uint8_t>(number);
    return true;
}

// send(status, data1[, data2]): true when every open output took it, false when none is open or
// one dropped it. Anything but a whole channel message throws.
napi_value send(napi_env env, napi_callback_info info)
{
    size_t count = 4;
    std::array<napi_value, 4> args{};
    napi_get_cb_info(env, info, &count, args.data(), nullptr, nullptr);
    std::array<std::uint8_t, 3> bytes{};
    if (count > bytes.size()) {
        return fail(env, "a MIDI message has at most 3 bytes", napi_throw_range_error);
    }
    for (size_t i = 0; i < count; ++i) {
        if (!byteOf(env, args[i], bytes[i])) {
            return fail(env, "MIDI bytes are integers from 0 to 255", napi_throw_type_error);
        }
    }
    auto checked = checkMessage(std::span<const std::uint8_t>(bytes.data(), count));
    if (auto* problem = std::get_if<std::string>(&checked)) {
        return fail(env, "not a MIDI channel message: " + *problem, napi_throw_range_error);
    }
    Addon& addon = addonOf(env);
    if (!addon.outputs) {
        return fail(env, "the MIDI outputs are not open");
    }
    const auto sent = addon.outputs->send(std::get<MidiMessage>(checked));
    napi_value result = nullptr;
    napi_get_boolean(env, sent.open > 0 && sent.delivered == sent.open, &result);
    return result;
}

// state(): each output: { system, open, port, problem, dropped }.
napi_value state(napi_env env, napi_callback_info)
{
    Addon& addon = addonOf(env);
    return stateValue(env, addon.outputs ? addon.outputs->state() : std::vector<OutputState>{});
}

// Closes the outputs and drops the callback; true when they closed within the limit. Outputs that
// did not are left to the process's exit, and so is the memory they use.
bool closeOutputs(Addon& addon)
{
    if (!addon.outputs) {
        return true;
    }
    const bool closed = addon.outputs->stop(kCloseLimit);
    if (!closed) {
        [[maybe_unused]] auto* left = addon.outputs.release();
    }
    addon.outputs.reset();
    addon.notifier->release();
    return closed;
}

// close(): true when every output closed in time.
napi_value close(napi_env env, napi_callback_info)
{
    napi_value result = nullptr;
    napi_get_boolean(env, closeOutputs(addonOf(env)), &result);
    return result;
}

void finalize(napi_env, void* data, void*)
{
    auto* addon = static_cast<Addon*>(data);
    closeOutputs(*addon);
    delete addon;
}

napi_value init(napi_env env, napi_value exports)
{
    napi_set_instance_data(env, new Addon(), finalize, nullptr);
    const std::array<napi_property_descriptor, 4> functions{{
        {"open", nullptr, open, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"send", nullptr, send, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"state", nullptr, state, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"close", nullptr, close, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
    }};
    napi_define_properties(env, exports, functions.size(), functions.data());
    return exports;
}

} // namespace

NAPI_MODULE_INIT()
{
    return init(env, exports);
}
