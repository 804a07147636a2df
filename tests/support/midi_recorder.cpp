// A JACK client that records the MIDI reaching its input: midi_recorder SOURCE-PORT. It connects
// SOURCE-PORT to its input, says "recording" on standard error, then prints each message on a
// line of its own, in hexadecimal bytes followed by the time its process callback saw it
// (CLOCK_MONOTONIC, microseconds, the clock of Node's process.hrtime), until its standard input
// closes or the server goes.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

struct Record {
    std::uint64_t time;
    std::uint32_t size;
    std::uint8_t bytes[4];
};

jack_port_t* input = nullptr;
jack_ringbuffer_t* ring = nullptr;
std::atomic<bool> gone{false};

int process(jack_nframes_t frames, void*)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now); // JACK's own clock is CLOCK_MONOTONIC_RAW
    const std::uint64_t cycle = static_cast<std::uint64_t>(now.tv_sec) * 1000000u + now.tv_nsec / 1000;
    void* buffer = jack_port_get_buffer(input, frames);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0) {
            continue;
        }
        Record record{cycle, static_cast<std::uint32_t>(event.size < 4 ? event.size : 4), {}};
        for (std::uint32_t b = 0; b < record.size; ++b) {
            record.bytes[b] = event.buffer[b];
        }
        if (jack_ringbuffer_write_space(ring) >= sizeof record) {
            jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&record), sizeof record);
        }
    }
    return 0;
}

void shutDown(void*)
{
    gone = true;
}

// A JACK server refuses a client now and then while another JACK server takes one: asked again a
// few times, a moment apart.
jack_client_t* openClient()
{
    for (int tries = 0; tries < 50; ++tries) {
        if (jack_client_t* client = jack_client_open("recorder", JackNoStartServer, nullptr)) {
            return client;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: midi_recorder SOURCE-PORT\n");
        return 2;
    }
    jack_client_t* client = openClient();
    ring = jack_ringbuffer_create(sizeof(Record) * 65536);
    if (client == nullptr || ring == nullptr) {
        std::fprintf(stderr, "midi_recorder: no JACK server\n");
        return 1;
    }
    input = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client, process, nullptr);
    jack_on_shutdown(client, shutDown, nullptr);
    if (input == nullptr || jack_activate(client) != 0 ||
        jack_connect(client, argv[1], jack_port_name(input)) != 0) {
        std::fprintf(stderr, "midi_recorder: cannot connect %s\n", argv[1]);
        return 1;
    }
    std::fprintf(stderr, "recording\n");
    for (;;) {
        Record record;
        while (jack_ringbuffer_read(ring, reinterpret_cast<char*>(&record), sizeof record) == sizeof record) {
            for (std::uint32_t b = 0; b < record.size; ++b) {
                std::printf("%02x ", record.bytes[b]);
            }
            std::printf("%" PRIu64 "\n", record.time);
        }
        std::fflush(stdout);
        pollfd in{0, POLLIN, 0};
        if (gone || (::poll(&in, 1, 5) > 0 && (in.revents & (POLLHUP | POLLIN)) != 0)) {
            break;
        }
    }
    jack_client_close(client);
    return 0;
}
