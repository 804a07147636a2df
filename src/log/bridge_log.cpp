#include "log/bridge_log.h"

#include <cstdio>

#include "app/tovra_app_delegate.h"
#include "common/file_checks.h"

namespace tovra {

namespace log {

std::string iso8601(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const sys_seconds seconds = floor<std::chrono::seconds>(time);
    const sys_days day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss clock{seconds - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

std::string logBanner(std::chrono::system_clock::time_point time)
{
    return "\n--- Tovra started " + iso8601(time) + " ---\n";
}

} // namespace log

void TovraAppDelegate::appendLogHeader()
{
    const std::filesystem::path file = logFile();
    fileManager.createDirectory(file.parent_path());

    // A server that fails at every start adds a banner and its trace every two seconds: past the
    // limit the log starts afresh, and only the one before it is kept.
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (!error && size > log::kLogSizeLimit) {
        std::filesystem::rename(file, file.string() + ".1", error);
    }

    if (!fileExists(file)) {
        fileManager.createFile(file);
    }

    // A handle still held here is released without an explicit close; normally the end of
    // every bridge run has already closed and emptied it.
    logHandle = fileManager.fileHandleForWriting(file);
    if (logHandle) {
        logHandle->seekToEnd();
    }

    const std::string banner = log::logBanner(platform_.clock.now());
    if (logHandle) {
        logHandle->write(banner);
    }
}

std::filesystem::path TovraAppDelegate::logFile()
{
    return fileManager.logsDirectory() / log::kLogFile;
}

// A failure to close is of no consequence here.
void TovraAppDelegate::closeLogHandle()
{
    if (logHandle) {
        logHandle->close();
    }
    logHandle.reset();
}

void TovraAppDelegate::revealLog()
{
    const std::filesystem::path file = logFile();
    if (!fileExists(file)) {
        fileManager.createFile(file);
    }
    platform_.workspace.activateFileViewerSelecting({file});
}

} // namespace tovra
