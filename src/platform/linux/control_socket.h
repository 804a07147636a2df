#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/control_channel.h"
#include "platform/main_queue.h"
#include "platform/posix/file_descriptor.h"

namespace tovra::linuxos {

using posix::FileDescriptor;

// The single instance's control channel: a Unix stream socket, mode 0600, in the lock's private
// folder. A request is one line of at most kMaxRequest bytes; the answer is one line, "ok" or
// "no", a tab and its text. Only processes of this user are heard; a longer line, a connection
// that stays silent or unanswered past kConnectionTime, and connections beyond kMaxConnections
// are closed without an answer. One thread accepts and reads; requests and answers go through
// the main queue.
class ControlSocket final : public platform::ControlChannel {
public:
    static constexpr std::size_t kMaxRequest = 256;
    static constexpr std::size_t kMaxConnections = 16;
    static constexpr std::chrono::seconds kConnectionTime{5};

    // Listens at `path` (an old socket there is replaced: whoever calls this holds the lock beside
    // it); an empty path, or one the system refuses, serves nothing and says why on standard error.
    ControlSocket(std::filesystem::path path, platform::MainQueue& mainQueue,
                  std::chrono::milliseconds connectionTime = kConnectionTime);
    ~ControlSocket() override;

    void serve(Handler handler) override;

private:
    struct Connection {
        FileDescriptor descriptor;
        std::string received;
        std::chrono::steady_clock::time_point deadline;
        bool asked = false;
        bool done = false;
    };
    struct Shared {
        std::mutex mutex;
        std::map<std::uint64_t, Connection> connections;
        FileDescriptor wake; // an eventfd: the worker looks at the connections again
        bool stopping = false;
    };

    void run();
    void dispatch(const std::string& request, std::uint64_t id);
    static void answer(const std::shared_ptr<Shared>& shared, std::uint64_t id,
                       const platform::ControlAnswer& answer);

    std::filesystem::path path_;
    platform::MainQueue& mainQueue_;
    std::chrono::milliseconds connectionTime_;
    FileDescriptor listener_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    // Main thread only: the handler, and the requests that came before it.
    Handler handler_;
    std::vector<std::pair<std::string, std::uint64_t>> waiting_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::thread worker_;
};

// The path of the control socket in a lock folder: <name>.control, for the program's name.
std::filesystem::path controlSocketPath(const std::filesystem::path& folder, const std::string& name);

// Sends `request` to the control socket at `path` and waits for its answer, for `time` at most.
// None when nothing of this user's listens there; a listener that closes without answering,
// or answers too late, gives a refusal without text.
std::optional<platform::ControlAnswer> askControlSocket(const std::filesystem::path& path,
                                                        const std::string& request,
                                                        std::chrono::milliseconds time);

} // namespace tovra::linuxos
