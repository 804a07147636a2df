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

// A control socket listening in a lock folder, made as soon as the lock is taken: a request that
// comes before the program serves (while it waits for its display, say) waits in its queue.
struct ControlListener {
    FileDescriptor socket;
    FileDescriptor folder; // held open: the socket's name is removed through it
    std::string name;      // the socket's name in the folder
};

// Listens at <folder>/<name>.control, a Unix stream socket of mode 0600; whoever calls this holds
// the lock beside it. An old socket there is replaced; anything else there (a file, a folder, a
// link) is moved aside to <name>.control.aside (or .aside.1, ... up to .aside.8), never removed.
// A path too long for a socket address is bound through the folder's descriptor. None when the
// system refuses, said on standard error.
std::optional<ControlListener> listenForControl(const std::filesystem::path& folder, const std::string& name);

// The single instance's control channel: its listeners, one in each lock folder. A request is one
// line of at most kMaxRequest bytes; the answer is one line, "ok" or "no", a tab and its text, of
// any length up to kMaxAnswer. Only processes of this user are heard; a longer line, a connection
// that stays silent or unanswered past kConnectionTime, and connections beyond kMaxConnections
// are closed without an answer. A request is handed to the program only while its asker still
// waits for the answer, so a stopped program that goes on later does not act for an asker that
// has given up. One thread accepts, reads and writes; requests and answers go through the main
// queue.
class ControlSocket final : public platform::ControlChannel {
public:
    static constexpr std::size_t kMaxRequest = 256;
    static constexpr std::size_t kMaxAnswer = 2 * 1024 * 1024; // a phone link may take 1 MiB
    static constexpr std::size_t kMaxConnections = 16;
    static constexpr std::chrono::seconds kConnectionTime{5};

    ControlSocket(std::vector<ControlListener> listeners, platform::MainQueue& mainQueue,
                  std::chrono::milliseconds connectionTime = kConnectionTime);
    ~ControlSocket() override;

    void serve(Handler handler) override;

private:
    struct Connection {
        FileDescriptor descriptor;
        std::string received;
        std::chrono::steady_clock::time_point deadline;
        std::string answer; // the line to send, once answered
        std::size_t sent = 0;
        bool asked = false;
        bool answered = false;
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
    bool stillWaiting(std::uint64_t id);
    static void answer(const std::shared_ptr<Shared>& shared, std::uint64_t id,
                       const platform::ControlAnswer& answer);

    std::vector<ControlListener> listeners_;
    platform::MainQueue& mainQueue_;
    std::chrono::milliseconds connectionTime_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    // Main thread only: the handler, and the requests that came before it.
    Handler handler_;
    std::vector<std::pair<std::string, std::uint64_t>> waiting_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::thread worker_;
};

// The path of the control socket in a lock folder: <name>.control, for the program's name.
std::filesystem::path controlSocketPath(const std::filesystem::path& folder, const std::string& name);

// Sends `request` to the control socket in `folder` and waits for its answer, for `time` at most.
// Nobody when nothing of this user's listens there (or its queue is full); silent when it took
// the request but gave no answer in time, closed without one, or answered past kMaxAnswer.
platform::ControlReply askControlSocket(const std::filesystem::path& folder, const std::string& name,
                                        const std::string& request, std::chrono::milliseconds time);

} // namespace tovra::linuxos
