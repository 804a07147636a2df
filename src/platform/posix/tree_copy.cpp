#include "platform/posix/tree_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/file_descriptor.h"

namespace tovra::posix {

namespace {

namespace fs = std::filesystem;

const timespec* timesOf(const struct stat& status, timespec (&times)[2])
{
    times[0] = status.st_atim;
    times[1] = status.st_mtim;
    return times;
}

// The names in a folder, without "." and "..".
bool namesIn(const fs::path& folder, std::vector<std::string>& names)
{
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) {
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const int error = errno;
    ::closedir(directory);
    errno = error;
    return error == 0;
}

} // namespace

bool flushFolder(const fs::path& folder)
{
    const FileDescriptor descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return descriptor.isOpen() && ::fsync(descriptor.get()) == 0;
}

bool TreeCopy::copy(const fs::path& from, const fs::path& to)
{
    failure_.clear();
    copiesOfLinkedFiles_.clear();
    return copyEntry(from, to);
}

bool TreeCopy::fail(const fs::path& path, const char* reason)
{
    failure_ = path.string() + ": " + (reason ? reason : std::strerror(errno));
    return false;
}

bool TreeCopy::copyEntry(const fs::path& from, const fs::path& to)
{
    struct stat status {};
    if (::lstat(from.c_str(), &status) != 0) {
        return fail(from);
    }
    if (S_ISDIR(status.st_mode)) {
        return copyFolder(from, to, status);
    }
    if (S_ISREG(status.st_mode)) {
        return copyFile(from, to, status);
    }
    if (S_ISLNK(status.st_mode)) {
        return copyLink(from, to, status);
    }
    return fail(from, "not a file, a folder or a link, so it cannot be copied");
}

bool TreeCopy::copyFolder(const fs::path& from, const fs::path& to, const struct stat& status)
{
    std::vector<std::string> names;
    if (::mkdir(to.c_str(), 0700) != 0) {
        return fail(to);
    }
    if (!namesIn(from, names)) {
        return fail(from);
    }
    for (const std::string& name : names) {
        if (!copyEntry(from / name, to / name)) {
            return false;
        }
    }
    // Its times last: every entry made in it has changed them.
    timespec times[2];
    if (::chmod(to.c_str(), status.st_mode & 07777) != 0 || !flushFolder(to) ||
        ::utimensat(AT_FDCWD, to.c_str(), timesOf(status, times), AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(to);
    }
    return true;
}

bool TreeCopy::copyFile(const fs::path& from, const fs::path& to, const struct stat& status)
{
    const auto identity = std::make_pair(status.st_dev, status.st_ino);
    if (status.st_nlink > 1) {
        if (const auto copied = copiesOfLinkedFiles_.find(identity); copied != copiesOfLinkedFiles_.end()) {
            return ::link(copied->second.c_str(), to.c_str()) == 0 || fail(to);
        }
    }
    const FileDescriptor source(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
    if (!source.isOpen()) {
        return fail(from);
    }
    FileDescriptor copy(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!copy.isOpen()) {
        return fail(to);
    }
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(source.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return fail(from);
        }
        if (count == 0) {
            break;
        }
        if (!writeAll(copy.get(), std::string_view(buffer, static_cast<std::size_t>(count)))) {
            return fail(to);
        }
    }
    // Written through to the device, and the close's own error heard (a full disk may say so
    // only there).
    timespec times[2];
    if (::fchmod(copy.get(), status.st_mode & 07777) != 0 ||
        ::futimens(copy.get(), timesOf(status, times)) != 0 || ::fsync(copy.get()) != 0 || !copy.close()) {
        return fail(to);
    }
    if (status.st_nlink > 1) {
        copiesOfLinkedFiles_.emplace(identity, to);
    }
    return true;
}

bool TreeCopy::copyLink(const fs::path& from, const fs::path& to, const struct stat& status)
{
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t length = ::readlink(from.c_str(), text.data(), text.size());
    if (length < 0) {
        return fail(from);
    }
    if (static_cast<std::size_t>(length) >= text.size()) {
        return fail(from, "the link changed while it was copied");
    }
    text.resize(static_cast<std::size_t>(length));
    timespec times[2];
    if (::symlink(text.c_str(), to.c_str()) != 0 ||
        ::utimensat(AT_FDCWD, to.c_str(), timesOf(status, times), AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(to);
    }
    return true;
}

} // namespace tovra::posix
