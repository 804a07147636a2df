#pragma once

#include "platform/login_service.h"
#include "platform/workspace.h"

#include <cstddef>
#include <filesystem>
#include <optional>

namespace tovra::xdg {

// The login item as an XDG autostart entry, <autostart directory>/tovra-bridge.desktop, whose Exec
// names this executable. Hidden=true or X-GNOME-Autostart-enabled=false is the user switching it
// off, whatever program the entry names. A relative autostart directory holds nothing.
class XdgLoginService : public platform::LoginService {
public:
    static constexpr const char* entryFileName = "tovra-bridge.desktop";
    // A larger file at the entry's name is not ours.
    static constexpr std::size_t maxEntrySize = 64 * 1024;

    // `executable` is this program's absolute path, or none when it cannot be determined.
    XdgLoginService(std::optional<std::filesystem::path> executable, std::filesystem::path autostartDirectory,
                    platform::Workspace& workspace);

    platform::LoginItemStatus status() override;
    bool registerService() override;
    bool unregisterService() override;
    void openSettingsPane() override;

private:
    std::filesystem::path entryPath() const;

    std::optional<std::filesystem::path> executable_;
    std::filesystem::path autostartDirectory_;
    platform::Workspace& workspace_;
};

} // namespace tovra::xdg
