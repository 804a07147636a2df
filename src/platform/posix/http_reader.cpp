#include "platform/posix/http_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

namespace tovra::posix {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool sameWord(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Digits only, in the given base, the whole of it.
std::optional<std::size_t> number(std::string_view text, int base)
{
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || text.front() == '+' ||
        text.front() == '-') {
        return std::nullopt;
    }
    return value;
}

} // namespace

bool HttpReader::readHead(std::string_view head)
{
    // "HTTP/1.x NNN reason"
    const std::size_t lineEnd = std::min(head.find(kLineEnd), head.size());
    const std::string_view status = head.substr(0, lineEnd);
    if (status.size() < 12 || !status.starts_with("HTTP/1.") ||
        !std::isdigit(static_cast<unsigned char>(status[7])) || status[8] != ' ' ||
        !number(status.substr(9, 3), 10) || (status.size() > 12 && status[12] != ' ')) {
        return false;
    }
    const std::size_t code = *number(status.substr(9, 3), 10);
    std::optional<std::size_t> length;
    bool chunked = false;
    persistent_ = status[7] == '1';
    for (std::size_t at = lineEnd + kLineEnd.size(); at < head.size();) {
        const std::size_t end = std::min(head.find(kLineEnd, at), head.size());
        const std::string_view line = head.substr(at, end - at);
        at = end + kLineEnd.size();
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0 ||
            trimmed(line.substr(0, colon)) != line.substr(0, colon)) {
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (sameWord(name, "Content-Length")) {
            const std::optional<std::size_t> given = number(value, 10);
            if (!given || (length && *length != *given)) {
                return false;
            }
            length = given;
        } else if (sameWord(name, "Connection")) {
            // A list of options; "close" among them ends the connection with this answer.
            for (std::size_t from = 0; from <= value.size();) {
                const std::size_t comma = std::min(value.find(',', from), value.size());
                persistent_ = persistent_ && !sameWord(trimmed(value.substr(from, comma - from)), "close");
                from = comma + 1;
            }
        } else if (sameWord(name, "Transfer-Encoding")) {
            // Nothing is asked for in another coding, so only chunked is understood.
            if (!sameWord(value, "chunked") || chunked) {
                return false;
            }
            chunked = true;
        }
    }
    if (code < 200) {
        part_ = Part::head; // an interim answer: the real one follows
        return code != 101;
    }
    if (code == 204 || code == 304) {
        state_ = State::complete;
    } else if (chunked) {
        part_ = Part::chunkSize;
    } else if (length) {
        if (*length > maxBody_) {
            return false;
        }
        left_ = *length;
        part_ = Part::lengthBody;
        state_ = left_ == 0 ? State::complete : State::reading;
    } else {
        part_ = Part::closeBody;
    }
    return true;
}

bool HttpReader::append(std::string_view bytes)
{
    if (body_.size() + bytes.size() > maxBody_) {
        return false;
    }
    body_.append(bytes);
    return true;
}

HttpReader::State HttpReader::feed(std::string_view bytes)
{
    if (state_ != State::reading) {
        return state_; // what follows a whole answer is not ours to read
    }
    pending_.append(bytes);
    return advance();
}

HttpReader::State HttpReader::advance()
{
    std::string_view rest = pending_;
    const auto line = [&]() -> std::optional<std::string_view> {
        const std::size_t end = rest.find(kLineEnd);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view found = rest.substr(0, end);
        rest.remove_prefix(end + kLineEnd.size());
        return found;
    };
    while (state_ == State::reading) {
        if (part_ == Part::head) {
            const std::size_t end = rest.find("\r\n\r\n");
            if (end == std::string_view::npos) {
                if (rest.size() > kMaxHeadBytes) {
                    return fail();
                }
                break;
            }
            if (end > kMaxHeadBytes || !readHead(rest.substr(0, end))) {
                return fail();
            }
            rest.remove_prefix(end + 4);
        } else if (part_ == Part::closeBody || part_ == Part::lengthBody || part_ == Part::chunkData) {
            const std::size_t size = part_ == Part::closeBody ? rest.size() : std::min(left_, rest.size());
            if (!append(rest.substr(0, size))) {
                return fail();
            }
            rest.remove_prefix(size);
            left_ -= part_ == Part::closeBody ? 0 : size;
            if (part_ == Part::lengthBody && left_ == 0) {
                state_ = State::complete;
            } else if (part_ == Part::chunkData && left_ == 0) {
                part_ = Part::chunkDataEnd;
            } else {
                break;
            }
        } else {
            const std::optional<std::string_view> text = line();
            if (!text) {
                if (rest.size() > kMaxHeadBytes) {
                    return fail();
                }
                break;
            }
            if (part_ == Part::chunkSize) {
                const std::optional<std::size_t> size = number(trimmed(text->substr(0, text->find(';'))), 16);
                if (!size || *size > maxBody_ - body_.size()) {
                    return fail();
                }
                left_ = *size;
                part_ = *size == 0 ? Part::trailers : Part::chunkData;
            } else if (part_ == Part::chunkDataEnd) {
                if (!text->empty()) {
                    return fail();
                }
                part_ = Part::chunkSize;
            } else if (text->empty()) { // the end of the trailers
                state_ = State::complete;
            }
        }
    }
    pending_.erase(0, pending_.size() - rest.size());
    return state_;
}

HttpReader::State HttpReader::end()
{
    if (state_ == State::reading) {
        state_ = part_ == Part::closeBody ? State::complete : State::invalid;
    }
    return state_;
}

} // namespace tovra::posix
