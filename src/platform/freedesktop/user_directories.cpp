#include "platform/freedesktop/user_directories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tovra::freedesktop {

namespace {

std::filesystem::path absoluteVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? std::filesystem::path(value) : std::filesystem::path();
}

} // namespace

std::filesystem::path homeDirectory()
{
    if (std::filesystem::path home = absoluteVariable("HOME"); !home.empty()) {
        return home;
    }
    // Room for any entry this program will meet; one that does not fit counts as none.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    return found && found->pw_dir[0] == '/' ? found->pw_dir : std::filesystem::path();
}

namespace {

std::filesystem::path baseDirectory(const char* variable, const char* underHome)
{
    if (std::filesystem::path base = absoluteVariable(variable); !base.empty()) {
        return base;
    }
    const std::filesystem::path home = homeDirectory();
    return home.empty() ? home : home / underHome;
}

} // namespace

std::filesystem::path configDirectory()
{
    return baseDirectory("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path stateDirectory()
{
    return baseDirectory("XDG_STATE_HOME", ".local/state");
}

std::filesystem::path dataDirectory()
{
    return baseDirectory("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path cacheDirectory()
{
    return baseDirectory("XDG_CACHE_HOME", ".cache");
}

std::filesystem::path runtimeDirectory()
{
    return absoluteVariable("XDG_RUNTIME_DIR");
}

} // namespace tovra::freedesktop
