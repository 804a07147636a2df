#pragma once

#include <string>
#include <vector>

namespace tovra::platform {

// The one style this program's alerts take: a failure the user must act on.
enum class AlertStyle { critical };

struct AlertContent {
    AlertStyle style = AlertStyle::critical;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
};

class Alerts {
public:
    virtual ~Alerts() = default;
    // Shows a modal alert and returns when the user has pressed a button: its index.
    virtual int runModal(const AlertContent& alert) = 0;
};

} // namespace tovra::platform
