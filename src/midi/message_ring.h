#pragma once

#include "midi/jack_library.h"
#include "midi/midi_message.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tovra::midi {

// Messages on their way from one sending thread to JACK's process thread: a lock-free JACK ring
// buffer of fixed-size records (the length, then up to three bytes).
class MessageRing {
public:
    static constexpr std::size_t kRecordSize = 4;

    // Room for at least `messages` messages. Check isValid(): the buffer may not be had.
    MessageRing(std::shared_ptr<const JackLibrary> library, std::size_t messages);
    ~MessageRing();
    MessageRing(const MessageRing&) = delete;
    MessageRing& operator=(const MessageRing&) = delete;

    bool isValid() const { return ring_ != nullptr; }

    // The sending side: false, with nothing written, when the ring is full.
    bool push(const MidiMessage& message)
    {
        const std::array<std::uint8_t, kRecordSize> record{
            static_cast<std::uint8_t>(message.size), message.bytes[0], message.bytes[1], message.bytes[2]};
        if (api_.ringbufferWriteSpace(ring_) < kRecordSize) {
            return false;
        }
        api_.ringbufferWrite(ring_, reinterpret_cast<const char*>(record.data()), kRecordSize);
        return true;
    }

    // The process thread: hands each waiting message, oldest first, to `write(data, size)` until
    // it returns false, which leaves that message waiting. No lock, no allocation, no system call.
    template <typename Write> void drain(Write&& write)
    {
        std::array<std::uint8_t, kRecordSize> record;
        while (api_.ringbufferPeek(ring_, reinterpret_cast<char*>(record.data()), kRecordSize) ==
               kRecordSize) {
            if (!write(record.data() + 1, static_cast<std::size_t>(record[0]))) {
                return;
            }
            api_.ringbufferReadAdvance(ring_, kRecordSize);
        }
    }

private:
    std::shared_ptr<const JackLibrary> library_;
    const JackApi& api_;
    jack_ringbuffer_t* ring_;
};

} // namespace tovra::midi
