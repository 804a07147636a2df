#pragma once

#include "platform/login_service.h"
#include "platform/workspace.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tovra::freedesktop {

// What an autostart entry says of the program.
struct AutostartIdentity {
    std::string name;        // as files know it: the entry is <name>.desktop, its icon <name>
    std::string displayName; // as people read it
    std::string comment;     // what it does
};

// The login item as an XDG autostart entry, <autostart directory>/<name>.desktop, that starts this
// executable (by its path, or as an argument of another program the user put before it, such as
// env). Hidden=true or X-GNOME-Autostart-enabled=false is the item switched off, whatever program
// the entry names: unregistering switches it off so, keeping the entry. An entry of the user's that
// still starts this program is kept as written but for those two keys. A relative autostart
// directory holds nothing.
class XdgLoginService : public platform::LoginService {
public:
    // A larger file at the entry's name is not ours.
    static constexpr std::size_t maxEntrySize = 64 * 1024;

    // `executable` is this program's absolute path, or none when it cannot be determined.
    XdgLoginService(AutostartIdentity identity, std::optional<std::filesystem::path> executable,
                    std::filesystem::path autostartDirectory, platform::Workspace& workspace);

    platform::LoginItemStatus status() override;
    bool registerService() override;
    bool unregisterService() override;
    void openSettingsPane() override;

private:
    std::filesystem::path entryPath() const;
    bool startsThisProgram(std::string_view exec) const;
    // The entry this program writes of its own; none when its path cannot be written in one.
    std::optional<std::string> ownEntry() const;
    // Writes the entry whole, in place of whatever is at its name.
    bool writeEntry(const std::string& contents);

    AutostartIdentity identity_;
    std::optional<std::filesystem::path> executable_;
    std::filesystem::path autostartDirectory_;
    platform::Workspace& workspace_;
};

} // namespace tovra::freedesktop
