#include "app/tovra_app_delegate.h"
#include "bridge/bridge_constants.h"
#include "common/file_checks.h"
#include "log/bridge_log.h"

namespace tovra {

namespace {

namespace fs = std::filesystem;

// Where earlier versions kept the log and the data on every platform: a Mac's places.
constexpr const char* kEarlierLogs = "Library/Logs";
constexpr const char* kEarlierApplicationSupport = "Library/Application Support";

} // namespace

std::filesystem::path TovraAppDelegate::dataDirectory()
{
    const fs::path place = fileManager.applicationSupportDirectory() / bridge::kDataDirectory;
    const fs::path home = fileManager.homeDirectoryForCurrentUser();
    const fs::path earlier = home / kEarlierApplicationSupport / bridge::kDataDirectory;
    // The user's data where it is: a move that could not be done leaves it in the earlier place, and
    // the bridge must not start on an empty folder meanwhile.
    if (!home.empty() && earlier != place && anythingExistsAt(earlier) && !anythingExistsAt(place)) {
        return earlier;
    }
    return place;
}

void TovraAppDelegate::moveInEarlierPlaces()
{
    const fs::path home = fileManager.homeDirectoryForCurrentUser();
    const fs::path logs = fileManager.logsDirectory();
    const fs::path applicationSupport = fileManager.applicationSupportDirectory();
    if (home.empty() ||
        (logs == home / kEarlierLogs && applicationSupport == home / kEarlierApplicationSupport)) {
        return;
    }
    // Each moves only to a free place: what is there already stays, and so does the earlier one.
    // The data folder holds the pairing, so that no phone has to pair again.
    const std::pair<fs::path, fs::path> moves[] = {
        {home / kEarlierLogs / log::kLogFile, logs / log::kLogFile},
        {home / kEarlierLogs / (std::string(log::kLogFile) + ".1"),
         logs / (std::string(log::kLogFile) + ".1")},
        {home / kEarlierApplicationSupport / bridge::kDataDirectory,
         applicationSupport / bridge::kDataDirectory},
    };
    for (const auto& [from, to] : moves) {
        if (anythingExistsAt(from) && !anythingExistsAt(to)) {
            fileManager.createDirectory(to.parent_path());
            fileManager.moveItem(from, to);
        }
    }
    // Only folders left empty go; remove() leaves any other.
    std::error_code error;
    for (const char* folder : {kEarlierLogs, kEarlierApplicationSupport, "Library"}) {
        fs::remove(home / folder, error);
    }
}

} // namespace tovra
