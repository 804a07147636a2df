#include "platform/linux/executable_bundle.h"

#include "platform/qt/diagnostics.h"

#include <string>
#include <system_error>
#include <utility>

namespace tovra::posix {

ExecutableBundle::ExecutableBundle() : executable_(currentExecutable()) {}

ExecutableBundle::ExecutableBundle(std::filesystem::path executable) : executable_(std::move(executable)) {}

std::optional<std::filesystem::path> ExecutableBundle::resourceDirectory()
{
    if (!executable_ || executable_->empty()) {
        return std::nullopt;
    }
    const std::filesystem::path directory =
        (executable_->parent_path() / ".." / "share" / "tovra-bridge").lexically_normal();
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) {
        qCWarning(lcPlatform).nospace() << "no bridge files: " << directory.c_str() << " is no folder";
        return std::nullopt;
    }
    return directory;
}

platform::InfoValue ExecutableBundle::infoValue(std::string_view key)
{
    if (key == "CFBundleShortVersionString") {
        return std::string(TOVRA_VERSION);
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

} // namespace tovra::posix
