#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tovra::platform {

// Every request goes to the server: nothing is answered from a cache.
enum class CachePolicy { reloadIgnoringLocalCacheData };

struct URLRequest {
    std::string url;
    CachePolicy cachePolicy = CachePolicy::reloadIgnoringLocalCacheData;
    // Seconds from sending to the end of the request, whatever the server does.
    double timeoutInterval = 60.0;
    // The process that must serve the request on the loopback host: the request goes only to a
    // loopback listener of this process (or of a process it started), and the answer counts only
    // while that listener is still its. None: any server.
    std::optional<int> serverProcess;
};

// The body of an answer, whatever its HTTP status; none for a refused connection, a
// time-out or any other transport error.
using DataCompletion = std::function<void(std::optional<std::string> body)>;

class URLSession {
public:
    virtual ~URLSession() = default;
    // Sends a GET at once. `completion` is called exactly once, on a thread of the session,
    // never on the main thread; not at all for a request still open when the session ends.
    virtual void dataTask(const URLRequest& request, DataCompletion completion) = 0;
};

} // namespace tovra::platform
