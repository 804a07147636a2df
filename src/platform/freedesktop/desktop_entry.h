#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Desktop entry files as the autostart folder holds them: reading the keys of their
// [Desktop Entry] group and the program an Exec value runs, and writing the values that name
// a program.
namespace tovra::freedesktop {

using DesktopEntryKeys = std::map<std::string, std::string, std::less<>>;

// The keys of the [Desktop Entry] group with their values as written (escapes left in, blanks
// before the value dropped); none when `text` is not a well-formed desktop entry: a NUL byte, a
// malformed group header, a line outside any group or without a key, that group twice or not at
// all, or a key twice in it.
std::optional<DesktopEntryKeys> parseDesktopEntry(std::string_view text);

// The program an Exec value as written runs: its first argument with the string escapes, the
// double quotes and the %% field codes undone; none when that cannot be read or holds another
// field code.
std::optional<std::string> programOfExec(std::string_view value);

// Every argument an Exec value as written runs, the program first, with the string escapes, the
// quoting and the %% field codes undone; an argument holding another field code (%f, %u, ...) is
// kept as written. None when the value cannot be read.
std::optional<std::vector<std::string>> argumentsOfExec(std::string_view value);

// `text`, a well-formed desktop entry, with each of `keys` set in its [Desktop Entry] group: a line
// of that key replaced where it stands, else one added at the group's end. Every other line is kept
// as written.
std::string withDesktopEntryKeys(std::string_view text,
                                 const std::vector<std::pair<std::string, std::string>>& keys);

// The Exec value that runs `program` with no arguments; none when a desktop file cannot carry
// it: invalid UTF-8, or a control character other than tab, newline and carriage return.
std::optional<std::string> execValue(std::string_view program);

// The TryExec value naming `program`, an absolute path: a plain string, so only the string
// escapes apply. None as for execValue.
std::optional<std::string> tryExecValue(std::string_view program);

} // namespace tovra::freedesktop
