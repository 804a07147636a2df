#pragma once

#include "platform/workspace.h"

#include "platform/freedesktop/session_bus.h"

namespace tovra::freedesktop {

class DesktopWorkspace final : public platform::Workspace {
public:
    explicit DesktopWorkspace(SessionBus& bus);

    bool openURL(const std::string& url) override;
    // Asks the file manager over D-Bus (org.freedesktop.FileManager1); when none answers, or no
    // bus is connected, opens the folders that hold the files instead.
    void activateFileViewerSelecting(const std::vector<std::filesystem::path>& files) override;

private:
    SessionBus& bus_;
};

} // namespace tovra::freedesktop
