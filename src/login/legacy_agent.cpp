#include <string>

#include "app/tovra_app_delegate.h"
#include "bridge/bridge_constants.h"
#include "common/file_checks.h"

namespace tovra {

namespace {

constexpr const char* kAgentLabel = "com.tovra.automation";
constexpr const char* kAgentFile = "Library/LaunchAgents/com.tovra.automation.plist";
constexpr const char* kAgentFileName = "com.tovra.automation.plist";
constexpr const char* kBackupFolder = "Legacy";
constexpr const char* kLaunchctl = "/bin/launchctl";

} // namespace

void TovraAppDelegate::migrateLegacyBackgroundBridge()
{
    const std::filesystem::path home = fileManager.homeDirectoryForCurrentUser();
    const std::filesystem::path agentFile = home / kAgentFile;
    if (!anythingExistsAt(agentFile)) {
        return;
    }

    // Every step below runs whatever became of the one before. The wait holds up start-up on
    // purpose: the old agent's bridge must be gone before ours starts.
    const std::shared_ptr<platform::Task> bootout = platform_.taskLauncher.makeTask();
    bootout->setExecutable(kLaunchctl);
    bootout->setArguments(
        {"bootout", "gui/" + std::to_string(platform_.processInfo.userId()) + "/" + kAgentLabel});
    bootout->launch();
    bootout->waitUntilExit();

    const std::filesystem::path backupFolder =
        fileManager.applicationSupportDirectory() / bridge::kDataDirectory / kBackupFolder;
    const std::filesystem::path backupFile = backupFolder / kAgentFileName;
    fileManager.createDirectory(backupFolder);

    std::error_code error;
    std::filesystem::remove_all(backupFile, error);
    // rename moves a symbolic link as the link, never its target.
    std::filesystem::rename(agentFile, backupFile, error);
}

} // namespace tovra
