#include "midi/message_ring.h"

namespace tovra::midi {

// One byte of a JACK ring buffer always stays free, hence the extra record.
MessageRing::MessageRing(std::shared_ptr<const JackLibrary> library, std::size_t messages)
    : library_(std::move(library)), api_(library_->api()),
      ring_(api_.ringbufferCreate((messages + 1) * kRecordSize))
{
    if (ring_ != nullptr) {
        api_.ringbufferMlock(ring_); // kept out of swap where the system allows; it works without
    }
}

MessageRing::~MessageRing()
{
    if (ring_ != nullptr) {
        api_.ringbufferFree(ring_);
    }
}

} // namespace tovra::midi
