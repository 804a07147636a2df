#pragma once

#include <string>

namespace tovra::platform {

// The general pasteboard (clipboard).
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    virtual void clearContents() = 0;
    // Puts one plain-text item on the pasteboard.
    virtual void setString(const std::string& text) = 0;
};

} // namespace tovra::platform
