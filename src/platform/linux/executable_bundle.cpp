#include "platform/linux/executable_bundle.h"

#include "platform/diagnostics.h"

#include <string>
#include <system_error>
#include <utility>

namespace tovra::linuxos {

ExecutableBundle::ExecutableBundle(std::filesystem::path executable, std::string name, std::string version)
    : executable_(std::move(executable)), name_(std::move(name)), version_(std::move(version))
{
}

std::optional<std::filesystem::path> ExecutableBundle::resourceDirectory()
{
    if (executable_.empty()) {
        return std::nullopt;
    }
    const std::filesystem::path directory =
        (executable_.parent_path() / ".." / "share" / name_).lexically_normal();
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) {
        platform::warn("no bridge files: ", directory.c_str(), " is no folder");
        return std::nullopt;
    }
    return directory;
}

platform::InfoValue ExecutableBundle::infoValue(std::string_view key)
{
    if (key == "CFBundleShortVersionString") {
        return version_;
    }
    return std::monostate{};
}

std::optional<std::filesystem::path> ExecutableBundle::currentExecutable()
{
    std::error_code error; // leaves the path empty
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (executable.empty()) {
        return std::nullopt;
    }
    return executable;
}

} // namespace tovra::linuxos
