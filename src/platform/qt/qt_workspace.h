#pragma once

#include "platform/workspace.h"

#include <QDBusConnection>

namespace tovra::qt {

class QtWorkspace final : public platform::Workspace {
public:
    explicit QtWorkspace(QDBusConnection bus = QDBusConnection::sessionBus());

    bool openURL(const std::string& url) override;
    // Asks the file manager over D-Bus (org.freedesktop.FileManager1); when none answers, opens
    // the folders that hold the files instead.
    void activateFileViewerSelecting(const std::vector<std::filesystem::path>& files) override;

private:
    QDBusConnection bus_;
};

} // namespace tovra::qt
