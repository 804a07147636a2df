#pragma once

#include <string>
#include <vector>

namespace tovra::platform {

enum class AlertStyle { warning, informational, critical };

struct AlertContent {
    AlertStyle style = AlertStyle::warning;
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
