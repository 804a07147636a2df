#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tovra::platform {

// An information value: absent, text, or a number.
using InfoValue = std::variant<std::monostate, std::string, double>;

// What ships beside the executable.
class Bundle {
public:
    virtual ~Bundle() = default;
    // The resource directory, or none when it does not exist.
    virtual std::optional<std::filesystem::path> resourceDirectory() = 0;
    virtual InfoValue infoValue(std::string_view key) = 0;
};

} // namespace tovra::platform
