// Reading never crashes, and any program the Exec writer accepts comes back unchanged from the
// entry it is written into.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/xdg/desktop_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    tovra::xdg::programOfExec(text);
    if (const auto keys = tovra::xdg::parseDesktopEntry(text)) {
        for (const auto& [key, value] : *keys) {
            tovra::xdg::programOfExec(value);
        }
    }
    const std::optional<std::string> exec = tovra::xdg::execValue(text);
    if (!exec) {
        return 0;
    }
    const auto entry = tovra::xdg::parseDesktopEntry("[Desktop Entry]\nExec=" + *exec + "\n");
    if (!entry || entry->at("Exec") != *exec || tovra::xdg::programOfExec(*exec) != text ||
        !tovra::xdg::tryExecValue(text)) {
        std::abort();
    }
    return 0;
}
