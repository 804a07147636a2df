#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Why an operation of a backend failed, for whoever reads the program's standard error, never the
// bridge log: a path and the system's reason, never an address (a phone link is private). One line
// each, in the category "tovra.platform". Backends of every folder say it the same way, whatever
// they are built on; the composition root decides where the lines go.
namespace tovra::platform {

// Takes one warning line, without its category.
using WarningSink = void (*)(std::string_view line);

// Where warnings go: standard error as "tovra.platform: <line>" until the composition root hands
// them to the toolkit's logging (where its rules can turn them off). Set it before any thread starts.
inline WarningSink& warningSink()
{
    static WarningSink sink = nullptr;
    return sink;
}

// One warning of the parts given, joined as they stand.
template <typename... Parts> void warn(const Parts&... parts)
{
    std::string line;
    (line.append(std::string_view(parts)), ...);
    if (WarningSink sink = warningSink()) {
        sink(line);
    } else {
        std::fprintf(stderr, "tovra.platform: %s\n", line.c_str());
    }
}

} // namespace tovra::platform
