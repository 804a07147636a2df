// libFuzzer targets, one per build of this file (TOVRA_FUZZ_TARGET names it): nothing crashes, and
// what is accepted keeps its promise.
#include <cstdint>
#include <cstdlib>

#include "health/health.h"
#include "menu/setup_info.h"
#include "platform/freedesktop/desktop_entry.h"
#include "platform/freedesktop/session_bus.h"
#include "platform/posix/http_reader.h"

namespace tovra_fuzz {

void check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

// Any body is decoded or refused, and nothing else happens (the sanitizers watch).
void health(std::string_view body)
{
    tovra::decodeHealth(body);
}

// A link that passes the URL rule is printable ASCII only.
void setupInfo(std::string_view body)
{
    const auto info = tovra::decodeSetupInfo(body);
    for (const unsigned char c : info&& tovra::isValidURL(info->phoneURL) ? info->phoneURL : std::string()) {
        check(c > 0x20 && c < 0x7F);
    }
}

// Any program the Exec writer accepts comes back unchanged from the entry it is written into.
void desktopEntry(std::string_view text)
{
    tovra::freedesktop::programOfExec(text);
    for (const auto& [key, value] :
         tovra::freedesktop::parseDesktopEntry(text).value_or(tovra::freedesktop::DesktopEntryKeys{})) {
        tovra::freedesktop::programOfExec(value);
    }
    if (const auto exec = tovra::freedesktop::execValue(text)) {
        const auto entry = tovra::freedesktop::parseDesktopEntry("[Desktop Entry]\nExec=" + *exec + "\n");
        check(entry && entry->at("Exec") == *exec && tovra::freedesktop::programOfExec(*exec) == text &&
              tovra::freedesktop::tryExecValue(text));
    }
}

// An answer read whole, and read in two pieces split where its first byte says: the same state
// and body, never over the cap.
void httpAnswer(std::string_view answer)
{
    constexpr std::size_t kCap = 64;
    const auto read = [&](std::size_t split) {
        tovra::posix::HttpReader reader(kCap);
        reader.feed(answer.substr(0, split));
        reader.feed(answer.substr(split));
        reader.end();
        const bool complete = reader.state() == tovra::posix::HttpReader::State::complete;
        return std::pair(reader.state(), complete ? reader.takeBody() : std::string());
    };
    const auto whole = read(answer.size());
    check(whole.second.size() <= kCap &&
          read(answer.empty() ? 0 : static_cast<unsigned char>(answer[0]) % answer.size()) == whole);
}

// Any text as the session bus's address: parsed without failing, each socket no longer than the
// text that named it, and a text that names none yields nothing.
void busAddress(std::string_view text)
{
    for (const auto& [path, abstract] : tovra::freedesktop::busAddressesOf(text)) {
        check(path.size() <= text.size() &&
              (path.empty() || text.find(abstract ? "abstract=" : "path=") != std::string_view::npos));
    }
}

} // namespace tovra_fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tovra_fuzz::TOVRA_FUZZ_TARGET(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
