#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle.h"

namespace tovra::linuxos {

// The files installed beside the executable: <prefix>/bin/<executable> and
// <prefix>/share/<name>/. The build tree has the same layout.
class ExecutableBundle : public platform::Bundle {
public:
    ExecutableBundle(std::filesystem::path executable, std::string name, std::string version);

    std::optional<std::filesystem::path> resourceDirectory() override;
    // "CFBundleShortVersionString": the project's version; any other key is absent.
    platform::InfoValue infoValue(std::string_view key) override;

    // This process's executable, symbolic links resolved; none when /proc cannot say.
    static std::optional<std::filesystem::path> currentExecutable();

private:
    std::filesystem::path executable_;
    std::string name_;
    std::string version_;
};

} // namespace tovra::linuxos
