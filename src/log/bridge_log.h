#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace tovra::log {

// Under the user's home directory.
inline constexpr const char* kLogFile = "Tovra Bridge.log"; // in the logs folder

// A larger log is set aside, as "Tovra Bridge.log.1", before the next launch writes its banner.
inline constexpr std::uintmax_t kLogSizeLimit = 10 * 1024 * 1024;

// The launch time as an internet date-time in UTC with whole seconds: 2026-12-05T03:48:30Z.
std::string iso8601(std::chrono::system_clock::time_point time);

// The line written into the log before each launch of the bridge server. It starts with a
// line feed, so it lands on a line of its own whatever the previous run left unterminated.
std::string logBanner(std::chrono::system_clock::time_point time);

} // namespace tovra::log
