#include "platform/xdg/xdg_login_service.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovra::xdg {

using platform::LoginItemStatus;

namespace {

constexpr std::string_view desktopEntryGroup = "Desktop Entry";
// Characters that force an Exec argument into double quotes.
constexpr std::string_view reservedCharacters = " \t\n\"'\\><~|&;$*?#()`";
// Characters escaped with a backslash inside a quoted Exec argument.
constexpr std::string_view quotedEscapes = "\"`$\\";

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    bool close()
    {
        int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trimLeft(std::string_view s)
{
    while (!s.empty() && isSpace(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view trimRight(std::string_view s)
{
    while (!s.empty() && isSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool isValidUtf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        auto lead = static_cast<unsigned char>(s[i]);
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (s.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        constexpr std::uint32_t smallestOfLength[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallestOfLength[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// The Exec value naming `program` with no arguments; none when a desktop file cannot carry it.
std::optional<std::string> execValue(const std::string& program)
{
    if (!isValidUtf8(program)) {
        return std::nullopt;
    }
    bool quote = false;
    for (char c : program) {
        auto byte = static_cast<unsigned char>(c);
        bool escapable = c == '\t' || c == '\n' || c == '\r';
        if ((byte < 0x20 && !escapable) || byte == 0x7F) {
            return std::nullopt;
        }
        quote = quote || c == '\r' || reservedCharacters.find(c) != std::string_view::npos;
    }

    // Innermost layer first: field codes, then argument quoting, then string escapes.
    std::string argument;
    for (char c : program) {
        if (c == '%') {
            argument += "%%";
            continue;
        }
        if (quote && quotedEscapes.find(c) != std::string_view::npos) {
            argument += '\\';
        }
        argument += c;
    }
    if (quote) {
        argument = '"' + argument + '"';
    }

    std::string value;
    for (char c : argument) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return value;
}

std::optional<std::string> unescapeString(std::string_view value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            out += value[i];
            continue;
        }
        if (++i == value.size()) {
            return std::nullopt;
        }
        switch (value[i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

// The program an unescaped Exec value runs: its first argument, unquoted, with %% expanded.
std::optional<std::string> programOfExec(std::string_view exec)
{
    std::string argument;
    std::size_t i = 0;
    if (!exec.empty() && exec[0] == '"') {
        for (i = 1;; ++i) {
            if (i == exec.size()) {
                return std::nullopt;
            }
            char c = exec[i];
            if (c == '"') {
                ++i;
                break;
            }
            if (c == '\\') {
                if (i + 1 == exec.size() || quotedEscapes.find(exec[i + 1]) == std::string_view::npos) {
                    return std::nullopt;
                }
                c = exec[++i];
            }
            argument += c;
        }
        // A quoted argument is quoted as a whole.
        if (i < exec.size() && exec[i] != ' ') {
            return std::nullopt;
        }
    } else {
        for (; i < exec.size() && exec[i] != ' '; ++i) {
            if (reservedCharacters.find(exec[i]) != std::string_view::npos) {
                return std::nullopt;
            }
            argument += exec[i];
        }
    }

    std::string program;
    for (std::size_t k = 0; k < argument.size(); ++k) {
        if (argument[k] == '%') {
            if (k + 1 == argument.size() || argument[k + 1] != '%') {
                return std::nullopt;
            }
            ++k;
        }
        program += argument[k];
    }
    if (program.empty()) {
        return std::nullopt;
    }
    return program;
}

std::optional<bool> parseBoolean(std::string_view value)
{
    value = trimRight(value);
    if (value == "true" || value == "1") {
        return true;
    }
    if (value == "false" || value == "0") {
        return false;
    }
    return std::nullopt;
}

// The raw values of the [Desktop Entry] group; none when the file is not a well-formed desktop entry.
std::optional<std::map<std::string, std::string, std::less<>>> parseDesktopEntryGroup(std::string_view text)
{
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::map<std::string, std::string, std::less<>> keys;
    bool inAnyGroup = false;
    bool inEntryGroup = false;
    bool sawEntryGroup = false;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = trimLeft(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            line = trimRight(line);
            if (line.size() < 3 || line.back() != ']') {
                return std::nullopt;
            }
            std::string_view name = line.substr(1, line.size() - 2);
            if (name.find_first_of("[]") != std::string_view::npos) {
                return std::nullopt;
            }
            inAnyGroup = true;
            inEntryGroup = name == desktopEntryGroup;
            if (inEntryGroup) {
                if (sawEntryGroup) {
                    return std::nullopt;
                }
                sawEntryGroup = true;
            }
            continue;
        }
        std::size_t equals = line.find('=');
        if (!inAnyGroup || equals == std::string_view::npos) {
            return std::nullopt;
        }
        std::string_view key = trimRight(line.substr(0, equals));
        if (key.empty()) {
            return std::nullopt;
        }
        if (inEntryGroup && !keys.emplace(key, trimLeft(line.substr(equals + 1))).second) {
            return std::nullopt;
        }
    }
    if (!sawEntryGroup) {
        return std::nullopt;
    }
    return keys;
}

// The contents of the regular file at `path`, when it can be read and is no larger than `limit`.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit)
{
    // O_NONBLOCK: a FIFO at this name must not hang us.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string contents(limit + 1, '\0');
    std::size_t size = 0;
    while (size < contents.size()) {
        ssize_t n = ::read(fd.get(), contents.data() + size, contents.size() - size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        size += static_cast<std::size_t>(n);
    }
    if (size > limit) {
        return std::nullopt;
    }
    contents.resize(size);
    return contents;
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string percentEncodePath(std::string_view path)
{
    constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : path) {
        auto byte = static_cast<unsigned char>(c);
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

std::optional<std::filesystem::path> absoluteEnvironmentPath(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(value);
}

std::optional<std::filesystem::path> homeDirectory()
{
    if (auto home = absoluteEnvironmentPath("HOME")) {
        return home;
    }
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(result->pw_dir);
}

} // namespace

XdgLoginService::XdgLoginService(std::optional<std::filesystem::path> executable,
                                 std::filesystem::path autostartDirectory, platform::Workspace& workspace)
    : executable_(std::move(executable)), autostartDirectory_(std::move(autostartDirectory)),
      workspace_(workspace)
{
    // An autostart entry can only name a program by its absolute path.
    if (executable_ && !executable_->is_absolute()) {
        executable_.reset();
    }
}

std::filesystem::path XdgLoginService::defaultAutostartDirectory()
{
    if (auto configHome = absoluteEnvironmentPath("XDG_CONFIG_HOME")) {
        return *configHome / "autostart";
    }
    if (auto home = homeDirectory()) {
        return *home / ".config" / "autostart";
    }
    return {};
}

std::filesystem::path XdgLoginService::entryPath() const
{
    return autostartDirectory_ / entryFileName;
}

LoginItemStatus XdgLoginService::status()
{
    if (!executable_) {
        return LoginItemStatus::notFound;
    }
    if (!autostartDirectory_.is_absolute()) {
        return LoginItemStatus::notRegistered;
    }
    auto text = readSmallFile(entryPath(), maxEntrySize);
    auto keys = text ? parseDesktopEntryGroup(*text) : std::nullopt;
    if (!keys) {
        return LoginItemStatus::notRegistered;
    }
    auto type = keys->find("Type");
    auto exec = keys->find("Exec");
    if (type == keys->end() || type->second != "Application" || exec == keys->end()) {
        return LoginItemStatus::notRegistered;
    }
    auto unescaped = unescapeString(exec->second);
    auto program = unescaped ? programOfExec(*unescaped) : std::nullopt;
    if (!program || *program != executable_->string()) {
        return LoginItemStatus::notRegistered;
    }

    bool switchedOff = false;
    for (auto [key, offWhen] : {std::pair{"Hidden", true}, std::pair{"X-GNOME-Autostart-enabled", false}}) {
        auto found = keys->find(key);
        if (found == keys->end()) {
            continue;
        }
        auto value = parseBoolean(found->second);
        // Desktops disagree on what an unreadable flag means; rewriting the entry settles it.
        if (!value) {
            return LoginItemStatus::notRegistered;
        }
        switchedOff = switchedOff || *value == offWhen;
    }
    return switchedOff ? LoginItemStatus::requiresApproval : LoginItemStatus::enabled;
}

bool XdgLoginService::registerService()
{
    if (!executable_ || !autostartDirectory_.is_absolute()) {
        return false;
    }
    auto exec = execValue(executable_->string());
    if (!exec) {
        return false;
    }
    std::string contents = "[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=Tovra Bridge\n"
                           "Comment=Keeps the Tovra bridge server running\n"
                           "Exec=" +
                           *exec +
                           "\n"
                           "Icon=tovra-bridge\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n";

    std::error_code error;
    std::filesystem::create_directories(autostartDirectory_, error);
    if (error) {
        return false;
    }

    // Hidden and without the .desktop suffix, so a session starting meanwhile ignores it.
    std::random_device random;
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = autostartDirectory_ / ("." + std::string(entryFileName) + "." + std::to_string(random()));
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    FileDescriptor file(fd);
    bool written = writeAll(file.get(), contents) && ::fsync(file.get()) == 0;
    written = file.close() && written;
    if (!written || ::rename(temporary.c_str(), entryPath().c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Best effort: make the rename itself durable.
    FileDescriptor directory(::open(autostartDirectory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid()) {
        ::fsync(directory.get());
    }
    return true;
}

bool XdgLoginService::unregisterService()
{
    if (!autostartDirectory_.is_absolute()) {
        return false;
    }
    return ::unlink(entryPath().c_str()) == 0 || errno == ENOENT || errno == ENOTDIR;
}

void XdgLoginService::openSettingsPane()
{
    if (!autostartDirectory_.is_absolute()) {
        return;
    }
    workspace_.openURL("file://" + percentEncodePath(autostartDirectory_.string()));
}

} // namespace tovra::xdg
