#pragma once

#include <filesystem>

// Where this user's files go. Every path of the program starts from these, so that all of them
// agree even when the environment says little.
namespace tovra::freedesktop {

// $HOME when it is absolute, else the password database's entry when that is absolute; empty
// when neither knows.
std::filesystem::path homeDirectory();

// $XDG_CONFIG_HOME when it is absolute, else <home>/.config; empty without a home.
std::filesystem::path configDirectory();
// The same for $XDG_STATE_HOME (<home>/.local/state) and $XDG_DATA_HOME (<home>/.local/share).
std::filesystem::path stateDirectory();
std::filesystem::path dataDirectory();
std::filesystem::path cacheDirectory(); // $XDG_CACHE_HOME, <home>/.cache

// $XDG_RUNTIME_DIR when it is absolute; empty otherwise (it has no default).
std::filesystem::path runtimeDirectory();

} // namespace tovra::freedesktop
