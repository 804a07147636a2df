#include "platform/linux/environment_signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tovra::linuxos {

namespace {

// More entries than this are not compared; a child's own few are far fewer.
constexpr int kMaxEntries = 16;

struct Entries {
    const char* text[kMaxEntries];
    std::size_t size[kMaxEntries];
    int count = 0;
};

Entries split(const std::string& signature)
{
    Entries entries;
    for (std::size_t start = 0; start < signature.size() && entries.count < kMaxEntries;) {
        const std::size_t end = signature.find('\0', start); // never allocates
        entries.text[entries.count] = signature.data() + start;
        entries.size[entries.count++] = (end == std::string::npos ? signature.size() : end) - start;
        start = end == std::string::npos ? signature.size() : end + 1;
    }
    return entries;
}

ssize_t readSome(int descriptor, char* buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::read(descriptor, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Whether the environment read from `descriptor` (entries each ending in a NUL) holds every one of
// `wanted` as a whole entry. Read in pieces, so an entry may span two of them.
bool holdsAll(int descriptor, const Entries& wanted)
{
    bool found[kMaxEntries] = {};
    bool matching[kMaxEntries];
    std::fill_n(matching, kMaxEntries, true);
    std::size_t position = 0;
    char buffer[4096];
    for (ssize_t n; (n = readSome(descriptor, buffer, sizeof buffer)) > 0;) {
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            for (int k = 0; k < wanted.count; ++k) {
                if (c == '\0') {
                    found[k] = found[k] || (matching[k] && position == wanted.size[k]);
                    matching[k] = true;
                } else if (position >= wanted.size[k] || wanted.text[k][position] != c) {
                    matching[k] = false;
                }
            }
            position = c == '\0' ? 0 : position + 1;
        }
    }
    return std::all_of(found, found + wanted.count, [](bool each) { return each; });
}

// The process ID a /proc entry names; -1 for any other entry.
pid_t processOf(const char* name)
{
    long pid = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || pid > 99999999) {
            return -1;
        }
        pid = pid * 10 + (*c - '0');
    }
    return *name == '\0' ? -1 : static_cast<pid_t>(pid);
}

} // namespace

std::string environmentSignature(const platform::Environment& child)
{
    std::string signature;
    for (const auto& [name, value] : child) {
        const char* own = std::getenv(name.c_str());
        if (!own || value != own) {
            signature += name + "=" + value;
            signature += '\0';
        }
    }
    return signature;
}

void signalCarriers(const std::string& signature, pid_t group, int signal)
{
    const Entries wanted = split(signature);
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (wanted.count == 0 || proc < 0) {
        if (proc >= 0) {
            ::close(proc);
        }
        return;
    }
    const pid_t self = ::getpid();
    alignas(dirent64) char listing[8192];
    for (ssize_t n; (n = ::getdents64(proc, listing, sizeof listing)) > 0;) {
        for (ssize_t offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(listing + offset);
            offset += entry->d_reclen;
            const pid_t pid = processOf(entry->d_name);
            if (pid <= 0 || pid == self) {
                continue;
            }
            char path[32] = "/proc/";
            std::strcat(std::strcat(path, entry->d_name), "/environ");
            const int environment = ::open(path, O_RDONLY | O_CLOEXEC);
            struct stat owner {};
            const bool carries = environment >= 0 && ::fstat(environment, &owner) == 0 &&
                                 owner.st_uid == ::getuid() && holdsAll(environment, wanted);
            if (environment >= 0) {
                ::close(environment);
            }
            if (carries && ::getpgid(pid) != group) {
                ::kill(pid, signal);
            }
        }
    }
    ::close(proc);
}

} // namespace tovra::linuxos
