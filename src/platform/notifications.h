#pragma once

#include <functional>
#include <string>

namespace tovra::platform {

// Notices on the user's desktop.
class Notifications {
public:
    virtual ~Notifications() = default;
    // Posts one notification and returns at once; it is also written on standard error. Nothing
    // more happens without a desktop session; a desktop without a notification service stays silent.
    virtual void post(const std::string& summary, const std::string& body) = 0;
    // The same with one action, offered where the desktop shows actions; `action` runs on the main
    // thread when the user takes it.
    virtual void post(const std::string& summary, const std::string& body, const std::string& actionLabel,
                      std::function<void()> action) = 0;
};

} // namespace tovra::platform
