/* The floor for the MIDI latency figure: a minimal JACK client that writes MIDI messages through
 * its own JACK ring buffer, as the bridge's JACK output does, but from C with nothing in front.
 *   jack_ring_reference COUNT INTERVAL_US
 * Says "ready" on standard error once its port "reference:out" exists, waits for a line on
 * standard input (the recorder is connected), then sends COUNT control changes numbered 0, 1, ...
 * (control = n >> 7, value = n & 127) every INTERVAL_US, and prints the CLOCK_MONOTONIC time
 * in microseconds just before each write, one a line. */
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static jack_port_t *port;
static jack_ringbuffer_t *ring;

static int process(jack_nframes_t frames, void *arg)
{
    (void)arg;
    void *buffer = jack_port_get_buffer(port, frames);
    unsigned char message[3];
    jack_midi_clear_buffer(buffer);
    while (jack_ringbuffer_peek(ring, (char *)message, 3) == 3) {
        if (jack_midi_event_write(buffer, 0, message, 3) != 0)
            break;
        jack_ringbuffer_read_advance(ring, 3);
    }
    return 0;
}

static uint64_t now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000u + (uint64_t)t.tv_nsec / 1000u;
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const long count = atol(argv[1]);
    const long interval = atol(argv[2]);
    jack_client_t *client = jack_client_open("reference", JackNoStartServer, NULL);
    if (client == NULL)
        return 1;
    ring = jack_ringbuffer_create(1 << 16);
    port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client, process, NULL);
    if (ring == NULL || port == NULL || jack_activate(client) != 0)
        return 1;
    fprintf(stderr, "ready\n");
    char line[16];
    if (fgets(line, sizeof line, stdin) == NULL)
        return 1;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long n = 0; n < count; ++n) {
        next.tv_nsec += interval * 1000;
        while (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            next.tv_sec += 1;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
        const unsigned char message[3] = {0xB0, (unsigned char)(n >> 7), (unsigned char)(n & 127)};
        printf("%llu\n", (unsigned long long)now_us());
        jack_ringbuffer_write(ring, (const char *)message, 3);
    }
    fflush(stdout);
    /* The last messages leave within a period; then the client goes. */
    struct timespec settle = {0, 50 * 1000 * 1000};
    nanosleep(&settle, NULL);
    jack_client_close(client);
    return 0;
}
