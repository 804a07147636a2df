#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tovra::posix {

// Reads one HTTP/1.x answer as its bytes come in, whatever its status: the head, then the body
// as Content-Length, chunked transfer coding or the end of the connection delimits it. Interim
// (1xx) answers are passed over. A head over kMaxHeadBytes, a body over `maxBody`, or anything
// malformed makes it invalid; so does an end of the connection before the body is whole.
class HttpReader {
public:
    enum class State { reading, complete, invalid };
    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

    explicit HttpReader(std::size_t maxBody) : maxBody_(maxBody) {}

    State feed(std::string_view bytes);
    // The connection ended.
    State end();
    State state() const { return state_; }
    // True once complete when the connection may carry another request: an HTTP/1.1 answer that
    // does not close it, delimited by its length or chunks, with nothing after it.
    bool keepsConnection() const
    {
        return state_ == State::complete && persistent_ && part_ != Part::closeBody && pending_.empty();
    }
    // The body, once complete.
    std::string takeBody() { return std::move(body_); }

private:
    enum class Part { head, lengthBody, closeBody, chunkSize, chunkData, chunkDataEnd, trailers };

    State fail() { return state_ = State::invalid; }
    bool readHead(std::string_view head);
    bool append(std::string_view bytes);
    // Works through pending_ until it needs more bytes.
    State advance();

    std::size_t maxBody_;
    State state_ = State::reading;
    Part part_ = Part::head;
    std::string pending_;
    std::string body_;
    std::size_t left_ = 0; // of a Content-Length body or of a chunk
    bool persistent_ = false;
};

} // namespace tovra::posix
