#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tovra::platform {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a web address in the user's default browser. True when the request was handed on.
    virtual bool openURL(const std::string& url) = 0;
    // Shows the files selected in the system's file viewer; returns at once.
    virtual void activateFileViewerSelecting(const std::vector<std::filesystem::path>& files) = 0;
};

} // namespace tovra::platform
