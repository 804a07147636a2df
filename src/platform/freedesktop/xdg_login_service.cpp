#include "platform/freedesktop/xdg_login_service.h"

#include "platform/diagnostics.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/freedesktop/desktop_entry.h"
#include "platform/posix/file_descriptor.h"

namespace tovra::freedesktop {

using platform::LoginItemStatus;

namespace {

// The contents of the regular file at `path`, when it can be read and is no larger than `limit`.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit)
{
    // Non-blocking, so a FIFO at this name cannot hold us up.
    const posix::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string contents(limit + 1, '\0');
    std::size_t size = 0;
    // Once the buffer is full, the read asks for nothing and gets nothing.
    for (ssize_t n = -1; n != 0; size += static_cast<std::size_t>(n)) {
        n = TEMP_FAILURE_RETRY(::read(file.get(), contents.data() + size, contents.size() - size));
        if (n < 0) {
            return std::nullopt;
        }
    }
    if (size > limit) {
        return std::nullopt;
    }
    contents.resize(size);
    return contents;
}

std::string_view valueOf(const DesktopEntryKeys& keys, std::string_view key)
{
    const auto found = keys.find(key);
    return found == keys.end() ? std::string_view() : found->second;
}

// The boolean at `key`, `absent` when there is none; none when it reads as neither.
std::optional<bool> flag(const DesktopEntryKeys& keys, std::string_view key, bool absent)
{
    const auto found = keys.find(key);
    if (found == keys.end()) {
        return absent;
    }
    const std::string_view value =
        std::string_view(found->second).substr(0, found->second.find_last_not_of(" \t\r\f\v") + 1);
    if (value == "true" || value == "1") {
        return true;
    }
    if (value == "false" || value == "0") {
        return false;
    }
    return std::nullopt;
}

// The program a command names, as a shell finds it: a path as it stands, a name on PATH; none when
// there is no executable file.
std::optional<std::filesystem::path> locate(const std::string& command)
{
    const auto executable = [](const std::filesystem::path& file) {
        struct stat info {};
        return ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(file.c_str(), X_OK) == 0;
    };
    if (command.find('/') != std::string::npos) {
        return executable(command) ? std::optional<std::filesystem::path>(command) : std::nullopt;
    }
    const char* path = std::getenv("PATH");
    for (std::string_view folders = path ? path : ""; !command.empty() && !folders.empty();) {
        const std::string_view folder = folders.substr(0, folders.find(':'));
        folders.remove_prefix(std::min(folder.size() + 1, folders.size()));
        const std::filesystem::path candidate =
            std::filesystem::path(folder.empty() ? "." : folder) / command;
        if (executable(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string percentEncodePath(std::string_view path)
{
    constexpr std::string_view unreserved =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/";
    constexpr char hex[] = "0123456789ABCDEF";
    std::string url;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (unreserved.find(c) != std::string_view::npos) {
            url += c;
        } else {
            url += {'%', hex[byte >> 4], hex[byte & 0x0F]};
        }
    }
    return url;
}

} // namespace

XdgLoginService::XdgLoginService(AutostartIdentity identity, std::optional<std::filesystem::path> executable,
                                 std::filesystem::path autostartDirectory, platform::Workspace& workspace)
    : identity_(std::move(identity)), executable_(std::move(executable)),
      autostartDirectory_(std::move(autostartDirectory)), workspace_(workspace)
{
    // An autostart entry can only name a program by its absolute path.
    if (executable_ && !executable_->is_absolute()) {
        executable_.reset();
    }
}

std::filesystem::path XdgLoginService::entryPath() const
{
    return autostartDirectory_ / (identity_.name + ".desktop");
}

LoginItemStatus XdgLoginService::status()
{
    if (!executable_) {
        return LoginItemStatus::notFound;
    }
    const std::optional<std::string> text =
        autostartDirectory_.is_absolute() ? readSmallFile(entryPath(), maxEntrySize) : std::nullopt;
    const std::optional<DesktopEntryKeys> keys = text ? parseDesktopEntry(*text) : std::nullopt;
    if (!keys || valueOf(*keys, "Type") != "Application") {
        return LoginItemStatus::notRegistered;
    }
    const std::optional<bool> hidden = flag(*keys, "Hidden", false);
    const std::optional<bool> autostarts = flag(*keys, "X-GNOME-Autostart-enabled", true);
    // Desktops disagree on what an unreadable flag means; rewriting the entry settles it.
    if (!hidden || !autostarts) {
        return LoginItemStatus::notRegistered;
    }
    // Switched off by the user: that stands even when the entry names another program, so that
    // start-up does not rewrite it.
    if (*hidden || !*autostarts) {
        return LoginItemStatus::requiresApproval;
    }
    return startsThisProgram(valueOf(*keys, "Exec")) ? LoginItemStatus::enabled
                                                     : LoginItemStatus::notRegistered;
}

// The user may have put something before this program (env with a variable, a wrapper): an entry
// still starts it when it runs this program, or a program that is there with this program among
// its arguments.
bool XdgLoginService::startsThisProgram(std::string_view exec) const
{
    const std::optional<std::vector<std::string>> arguments = argumentsOfExec(exec);
    if (!arguments || arguments->empty()) {
        return false;
    }
    const auto isThisProgram = [this](const std::string& argument) {
        if (argument == executable_->string()) {
            return true;
        }
        const std::optional<std::filesystem::path> found =
            argument.find('/') == std::string::npos ? locate(argument) : std::nullopt;
        std::error_code error;
        return found && std::filesystem::equivalent(*found, *executable_, error);
    };
    return isThisProgram(arguments->front()) ||
           (locate(arguments->front()) &&
            std::any_of(arguments->begin() + 1, arguments->end(), isThisProgram));
}

bool XdgLoginService::registerService()
{
    if (!executable_ || !autostartDirectory_.is_absolute()) {
        return false;
    }
    // An entry of the user's that still starts this program is switched on as it stands.
    const std::optional<std::string> text = readSmallFile(entryPath(), maxEntrySize);
    const std::optional<DesktopEntryKeys> keys = text ? parseDesktopEntry(*text) : std::nullopt;
    if (keys && valueOf(*keys, "Type") == "Application" && startsThisProgram(valueOf(*keys, "Exec"))) {
        return writeEntry(
            withDesktopEntryKeys(*text, {{"Hidden", "false"}, {"X-GNOME-Autostart-enabled", "true"}}));
    }
    const std::optional<std::string> contents = ownEntry();
    return contents && writeEntry(*contents);
}

// Switched off the desktop's own way, kept with Hidden=true: a desktop's settings show it off, and
// start-up leaves it so.
bool XdgLoginService::unregisterService()
{
    if (!autostartDirectory_.is_absolute()) {
        return false;
    }
    const std::optional<std::string> text = readSmallFile(entryPath(), maxEntrySize);
    if (text && parseDesktopEntry(*text)) {
        return writeEntry(withDesktopEntryKeys(*text, {{"Hidden", "true"}}));
    }
    const std::optional<std::string> contents = ownEntry();
    return contents && writeEntry(*contents + "Hidden=true\n");
}

std::optional<std::string> XdgLoginService::ownEntry() const
{
    const std::optional<std::string> exec = executable_ ? execValue(executable_->string()) : std::nullopt;
    if (!exec) {
        return std::nullopt;
    }
    // TryExec carries the same characters as Exec, so it can be written when Exec can. With it, a
    // desktop skips the entry once the program is gone.
    return "[Desktop Entry]\nType=Application\nName=" + identity_.displayName +
           "\nComment=" + identity_.comment + "\nTryExec=" + *tryExecValue(executable_->string()) +
           "\nExec=" + *exec + " " + platform::kLoginArgument + "\nIcon=" + identity_.name +
           "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

bool XdgLoginService::writeEntry(const std::string& contents)
{
    // Should the folder be missing still, creating the file in it fails below.
    std::error_code ignored;
    std::filesystem::create_directories(autostartDirectory_, ignored);
    // Hidden and without the .desktop suffix, so a session starting meanwhile ignores it. O_EXCL
    // never opens an existing file, nor follows a symlink.
    std::random_device random;
    const std::filesystem::path temporary =
        autostartDirectory_ /
        ("." + identity_.name + ".desktop." + std::to_string(random()) + std::to_string(random()));
    posix::FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    const bool written = file.isOpen() && posix::writeAll(file.get(), contents) && ::fsync(file.get()) == 0;
    // The rename replaces whatever is at the entry's name, a symlink too, never writing through it.
    if (!file.close() || !written || ::rename(temporary.c_str(), entryPath().c_str()) != 0) {
        platform::warn("cannot write the login entry ", entryPath().c_str(), ": ", std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    // Best effort: make the rename itself durable.
    const posix::FileDescriptor directory(
        ::open(autostartDirectory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ::fsync(directory.get());
    return true;
}

void XdgLoginService::openSettingsPane()
{
    if (!autostartDirectory_.is_absolute()) {
        return;
    }
    workspace_.openURL("file://" + percentEncodePath(autostartDirectory_.string()));
}

} // namespace tovra::freedesktop
