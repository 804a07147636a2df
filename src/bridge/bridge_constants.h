#pragma once

namespace tovra::bridge {

inline constexpr int kPortNumber = 4173;
inline constexpr const char* kPort = "4173";
inline constexpr const char* kSetupURL = "http://localhost:4173/setup";
inline constexpr const char* kHealthURL = "http://localhost:4173/health";
inline constexpr const char* kSetupInfoURL = "http://localhost:4173/api/setup";

// Under the resource directory.
inline constexpr const char* kRuntimeExecutable = "runtime/node-arm64";
inline constexpr const char* kServerScript = "app/server.js";
inline constexpr const char* kWorkingDirectory = "app";

// What the runtime is, whatever its file is called: the name its process is listed by.
inline constexpr const char* kRuntimeName = "node";
// In the user's application-data folder; handed to the server as TOVRA_DATA_DIR.
inline constexpr const char* kDataDirectory = "Tovra Automation";

// Seconds from an exit (or a failed launch) to the next launch.
inline constexpr double kRestartDelay = 2.0;

} // namespace tovra::bridge
