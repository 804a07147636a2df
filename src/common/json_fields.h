#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Field readers for strict decoding: a value counts only when it has exactly the JSON type
// asked for. No coercion between booleans, numbers and strings.
namespace tovra::json_fields {

// Deeper documents are no answer. The depth is found on one pass over the text, before any of it
// is parsed, so a hostile body nested a million levels deep costs no tree.
inline constexpr int kMaxDepth = 64;

inline bool nestsDeeperThan(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            i += c == '\\' ? 1 : 0;
            inString = c != '"';
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// The document in `text`; discarded (not an object, not even JSON) when nested too deep.
inline nlohmann::json parse(std::string_view text)
{
    if (nestsDeeperThan(text, kMaxDepth)) {
        return nlohmann::json::value_t::discarded;
    }
    return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

inline const nlohmann::json* field(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

inline std::optional<std::string> stringField(const nlohmann::json& object, const char* key)
{
    const nlohmann::json* value = field(object, key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

inline std::optional<bool> boolField(const nlohmann::json& object, const char* key)
{
    const nlohmann::json* value = field(object, key);
    if (!value || !value->is_boolean()) {
        return std::nullopt;
    }
    return value->get<bool>();
}

// A number with an integral value within the signed 64-bit range. Written as 2.0 or 2e0 it
// still counts; 2.5 does not.
inline std::optional<std::int64_t> int64Field(const nlohmann::json& object, const char* key)
{
    const nlohmann::json* value = field(object, key);
    if (!value) {
        return std::nullopt;
    }
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return value->get<std::int64_t>();
    }
    if (value->is_number_unsigned()) {
        const std::uint64_t number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value->is_number_float()) {
        // 2^63 is exact as a double. The lower bound is strict too: an integer literal below
        // the range is parsed as a double and may round to exactly -2^63.
        constexpr double kLimit = 9223372036854775808.0;
        const double number = value->get<double>();
        if (!std::isfinite(number) || std::trunc(number) != number || number >= kLimit || number <= -kLimit) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

} // namespace tovra::json_fields
