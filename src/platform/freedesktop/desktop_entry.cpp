#include "platform/freedesktop/desktop_entry.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

namespace tovra::freedesktop {

namespace {

constexpr auto npos = std::string_view::npos;
constexpr std::string_view desktopEntryGroup = "Desktop Entry";
constexpr std::string_view blanks = " \t\r\f\v";
// A carriage return, then the characters reserved in an Exec argument: a program holding any of
// them is written in double quotes.
constexpr std::string_view quotedCharacters = "\r \t\n\"'\\><~|&;$*?#()`";
constexpr std::string_view reservedCharacters = quotedCharacters.substr(1);
// Written after a backslash inside double quotes.
constexpr std::string_view quotedEscapes = "\"`$\\";
// The string escapes: a backslash and a letter of `escapeLetters` stands for the character at
// the same place in `escapedCharacters`. A space is written as it is.
constexpr std::string_view escapeLetters = "sntr\\";
constexpr std::string_view escapedCharacters = " \n\t\r\\";

unsigned char byte(char c)
{
    return static_cast<unsigned char>(c);
}

std::string_view trimLeft(std::string_view s)
{
    return s.substr(std::min(s.find_first_not_of(blanks), s.size()));
}

std::string_view trimRight(std::string_view s)
{
    return s.substr(0, s.find_last_not_of(blanks) + 1);
}

bool isValidUtf8(std::string_view text)
{
    constexpr std::uint32_t smallestOfLength[] = {0, 0, 0x80, 0x800, 0x10000};
    while (!text.empty()) {
        // The lead byte's leading ones count the bytes of its sequence: none for ASCII, one for a
        // continuation byte. A sequence cut short by the end of the text holds too few bits for
        // its length, so the smallest code point of that length turns it away.
        const int ones = std::countl_one(byte(text[0]));
        const std::string_view sequence = text.substr(0, static_cast<std::size_t>(std::max(ones, 1)));
        if (ones == 1 || ones > 4) {
            return false;
        }
        std::uint32_t codePoint = byte(text[0]) & (0xFFu >> ones);
        for (const char c : sequence.substr(1)) {
            if (std::countl_one(byte(c)) != 1) {
                return false;
            }
            codePoint = codePoint << 6 | (byte(c) & 0x3Fu);
        }
        if (codePoint < smallestOfLength[ones] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        text.remove_prefix(sequence.size());
    }
    return true;
}

// `text` with the string escapes applied; none when a desktop file cannot carry it.
std::optional<std::string> escapeString(std::string_view text)
{
    if (!isValidUtf8(text)) {
        return std::nullopt;
    }
    std::string value;
    for (const char c : text) {
        const std::size_t escape = escapedCharacters.find(c, 1);
        if (escape != npos) {
            value += '\\';
            value += escapeLetters[escape];
        } else if (byte(c) < 0x20 || byte(c) == 0x7F) {
            return std::nullopt;
        } else {
            value += c;
        }
    }
    return value;
}

// `value` with the string escapes undone; none when a backslash starts no escape.
std::optional<std::string> unescapeString(std::string_view value)
{
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\\') {
            const std::size_t escape = escapeLetters.find_first_of(value.substr(++i, 1));
            if (escape == npos) {
                return std::nullopt;
            }
            c = escapedCharacters[escape];
        }
        text += c;
    }
    return text;
}

// The argument at the start of `exec` (an Exec value with the string escapes undone), quoted or
// not, as written; `exec` moves past it and the spaces after it. None when it is malformed.
std::optional<std::string> takeArgument(std::string_view& exec)
{
    std::string argument;
    if (exec.starts_with('"')) {
        std::size_t i = 1;
        for (; i < exec.size() && exec[i] != '"'; ++i) {
            // A backslash takes the character after it as it is; only these may follow one.
            if (exec[i] == '\\' && quotedEscapes.find_first_of(exec.substr(++i, 1)) == npos) {
                return std::nullopt;
            }
            argument += exec[i];
        }
        // A quoted argument is quoted as a whole: its closing quote ends the value or a space
        // follows.
        const std::string_view after = exec.substr(i);
        if (after != "\"" && !after.starts_with("\" ")) {
            return std::nullopt;
        }
        exec.remove_prefix(i + 1);
    } else {
        argument = exec.substr(0, exec.find(' '));
        if (argument.find_first_of(reservedCharacters) != npos) {
            return std::nullopt;
        }
        exec.remove_prefix(argument.size());
    }
    exec.remove_prefix(std::min(exec.find_first_not_of(' '), exec.size()));
    return argument;
}

// `argument` with each %% made %; none when it holds another field code.
std::optional<std::string> withoutFieldCodes(std::string_view argument)
{
    std::string text;
    for (std::size_t k = 0; k < argument.size(); ++k) {
        if (argument[k] == '%' && (++k == argument.size() || argument[k] != '%')) {
            return std::nullopt;
        }
        text += argument[k];
    }
    return text;
}

} // namespace

std::optional<DesktopEntryKeys> parseDesktopEntry(std::string_view text)
{
    if (text.find('\0') != npos) {
        return std::nullopt;
    }
    std::optional<DesktopEntryKeys> keys;
    // Whether the lines belong to the [Desktop Entry] group; none before the first group.
    std::optional<bool> inEntryGroup;
    while (!text.empty()) {
        std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(line.size() + 1, text.size()));
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        line = trimLeft(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            line = trimRight(line);
            const std::string_view name = line.substr(1, line.size() - 2);
            if (!line.ends_with(']') || name.empty() || name.find_first_of("[]") != npos) {
                return std::nullopt;
            }
            inEntryGroup = name == desktopEntryGroup;
            if (*inEntryGroup && keys) {
                return std::nullopt;
            }
            if (*inEntryGroup) {
                keys.emplace();
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string_view key = trimRight(line.substr(0, equals));
        if (!inEntryGroup || equals == npos || key.empty()) {
            return std::nullopt;
        }
        if (*inEntryGroup && !keys->emplace(key, trimLeft(line.substr(equals + 1))).second) {
            return std::nullopt;
        }
    }
    return keys;
}

std::optional<std::string> programOfExec(std::string_view value)
{
    const std::optional<std::string> unescaped = unescapeString(value);
    std::string_view exec = unescaped ? std::string_view(*unescaped) : std::string_view();
    const std::optional<std::string> argument = unescaped ? takeArgument(exec) : std::nullopt;
    return argument ? withoutFieldCodes(*argument) : std::nullopt;
}

std::optional<std::vector<std::string>> argumentsOfExec(std::string_view value)
{
    const std::optional<std::string> unescaped = unescapeString(value);
    if (!unescaped) {
        return std::nullopt;
    }
    std::vector<std::string> arguments;
    for (std::string_view exec = *unescaped; !exec.empty();) {
        const std::optional<std::string> argument = takeArgument(exec);
        if (!argument) {
            return std::nullopt;
        }
        arguments.push_back(withoutFieldCodes(*argument).value_or(*argument));
    }
    return arguments;
}

std::string withDesktopEntryKeys(std::string_view text,
                                 const std::vector<std::pair<std::string, std::string>>& keys)
{
    std::string result;
    std::vector<bool> written(keys.size(), false);
    bool inEntryGroup = false;
    // The keys not written yet, at the end of the [Desktop Entry] group.
    const auto addTheRest = [&] {
        if (!result.empty() && !result.ends_with('\n')) {
            result += '\n';
        }
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (!written[k]) {
                result += keys[k].first + "=" + keys[k].second + "\n";
                written[k] = true;
            }
        }
    };
    while (!text.empty()) {
        const std::string_view line =
            text.substr(0, text.find('\n') == npos ? text.size() : text.find('\n') + 1);
        text.remove_prefix(line.size());
        const std::string_view content = trimLeft(line);
        if (content.starts_with('[')) {
            if (inEntryGroup) {
                addTheRest();
            }
            inEntryGroup = trimRight(content.substr(0, content.find_last_of(']') + 1)) == "[Desktop Entry]";
        } else if (inEntryGroup && !content.starts_with('#')) {
            const std::string_view key = trimRight(content.substr(0, content.find('=')));
            const auto found =
                std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return k.first == key; });
            if (found != keys.end()) {
                const auto index = static_cast<std::size_t>(found - keys.begin());
                if (!written[index]) {
                    result += found->first + "=" + found->second + "\n";
                    written[index] = true;
                }
                continue;
            }
        }
        result += line;
    }
    if (inEntryGroup) {
        addTheRest();
    }
    return result;
}

std::optional<std::string> execValue(std::string_view program)
{
    // Innermost layer first: field codes and quoting, then the string escapes.
    const bool quote = program.find_first_of(quotedCharacters) != npos;
    std::string argument = quote ? "\"" : "";
    for (const char c : program) {
        if (c == '%') {
            argument += '%';
        }
        // Only ever inside quotes: each of these is a reason to quote.
        if (quotedEscapes.find(c) != npos) {
            argument += '\\';
        }
        argument += c;
    }
    return escapeString(quote ? argument + '"' : argument);
}

std::optional<std::string> tryExecValue(std::string_view program)
{
    return escapeString(program);
}

} // namespace tovra::freedesktop
