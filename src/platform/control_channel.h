#pragma once

#include <functional>
#include <string>

namespace tovra::platform {

// What the running instance answers to a request: whether it could, and a line of text.
struct ControlAnswer {
    bool ok = false;
    std::string text;
};

// What a start of the program learns when it asks this user's running instance.
struct ControlReply {
    enum class From {
        nobody,   // no instance of this user's runs
        silent,   // one runs, but gave no answer in time (it is starting, stopped, or busy)
        instance, // it answered: `answer`
    };
    From from = From::nobody;
    ControlAnswer answer;
};

// Requests from this user's other starts of the program (its command line), served by the one
// instance: a line in, one answer out. Only this user can reach it.
class ControlChannel {
public:
    using Answer = std::function<void(const ControlAnswer& answer)>;
    using Handler = std::function<void(const std::string& request, Answer answer)>;

    virtual ~ControlChannel() = default;

    // `handler` runs on the main thread for each request and answers it once, at once or later,
    // on the main thread. An answer given after its asker has left goes nowhere.
    virtual void serve(Handler handler) = 0;
};

} // namespace tovra::platform
