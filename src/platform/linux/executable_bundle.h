#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/bundle.h"

namespace tovra::posix {

// The files installed beside the executable: <prefix>/bin/<executable> and
// <prefix>/share/tovra-bridge/. The build tree has the same layout.
class ExecutableBundle : public platform::Bundle {
public:
    // For this process's own executable.
    ExecutableBundle();
    explicit ExecutableBundle(std::filesystem::path executable);

    std::optional<std::filesystem::path> resourceDirectory() override;
    // "CFBundleShortVersionString": the project's version; any other key is absent.
    platform::InfoValue infoValue(std::string_view key) override;

    // This process's executable, symbolic links resolved; none when /proc cannot say.
    static std::optional<std::filesystem::path> currentExecutable();

private:
    std::optional<std::filesystem::path> executable_;
};

} // namespace tovra::posix
