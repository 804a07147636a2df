#pragma once

#include "platform/url_session.h"

#include <QThread>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace tovra::qt {

// HTTP GETs through one QNetworkAccessManager on a worker thread the session owns. Never
// cached, never through a proxy, redirects not followed; a body over kMaxBodyBytes counts as
// none.
//
// Construct and destroy it on the main thread while the QCoreApplication exists. The
// destructor aborts every open request without calling its completion, and returns once the
// worker thread has ended. A completion must not destroy the session.
class QtUrlSession final : public platform::URLSession {
public:
    static constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

    // The loopback address ("127.0.0.1" or "::1") of a listener on `port` that belongs to process
    // `pid` or to a process it started; none when there is no such listener. Called on the
    // session's thread.
    using OwnedListener = std::function<std::optional<std::string>(int pid, int port)>;

    // A request with a server process goes only where `ownedListener` says; without one
    // (or without a lookup) such a request is never sent and completes with none.
    explicit QtUrlSession(OwnedListener ownedListener = {});
    ~QtUrlSession() override;
    QtUrlSession(const QtUrlSession&) = delete;
    QtUrlSession& operator=(const QtUrlSession&) = delete;

    // Safe from any thread while the session exists.
    void dataTask(const platform::URLRequest& request, platform::DataCompletion completion) override;

private:
    class Worker;

    QThread thread_;
    Worker* worker_; // lives on thread_, which deletes it as it ends
};

} // namespace tovra::qt
