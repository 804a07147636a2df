#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/url_session.h"

namespace tovra::posix {

// HTTP GETs, made and read by one worker thread the session owns, the connection of a whole
// answer kept for the next request to the same server and listener (HTTP/1.1 persistent
// connections): one hop from the caller to that thread, none from there to another. Plain HTTP/1.1 to an
// IP address or "localhost" (nothing is looked up), never cached, never through a proxy,
// redirects not followed; the whole answer whatever its status, or none (refused, cut short,
// malformed, late); a body over kMaxBodyBytes counts as none.
//
// The destructor drops every open request without calling its completion, and returns once the
// worker thread has ended. A completion must not destroy the session.
class PosixUrlSession final : public platform::URLSession {
public:
    static constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

    // The loopback address ("127.0.0.1" or "::1") of a listener on `port` that belongs to process
    // `pid` or to a process it started; none when there is no such listener. Called on the
    // session's thread.
    using OwnedListener = std::function<std::optional<std::string>(int pid, int port)>;

    // A request with a server process goes only where `ownedListener` says; without one
    // (or without a lookup) such a request is never sent and completes with none.
    explicit PosixUrlSession(OwnedListener ownedListener = {});
    ~PosixUrlSession() override;
    PosixUrlSession(const PosixUrlSession&) = delete;
    PosixUrlSession& operator=(const PosixUrlSession&) = delete;

    // Safe from any thread while the session exists.
    void dataTask(const platform::URLRequest& request, platform::DataCompletion completion) override;

private:
    struct Request {
        std::string url;
        std::optional<int> server;
        std::chrono::steady_clock::time_point deadline;
        platform::DataCompletion completion;
    };
    void run();
    void wakeWorker();

    OwnedListener ownedListener_;
    Wakeup wake_; // requests queued, or the end
    std::mutex mutex_;
    std::vector<Request> queued_; // under mutex_
    bool ending_ = false;         // under mutex_
    std::thread thread_;          // last: started once the rest exists
};

} // namespace tovra::posix
