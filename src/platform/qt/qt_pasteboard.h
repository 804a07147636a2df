#pragma once

#include <QString>

#include <memory>

#include "platform/pasteboard.h"

namespace tovra::qt {

// The desktop clipboard (not the X11 primary selection); use it on the main thread.
class QtPasteboard final : public platform::Pasteboard {
public:
    void clearContents() override;
    void setString(const std::string& text) override;

private:
    std::shared_ptr<QString> latest_ = std::make_shared<QString>(); // the text last set
};

} // namespace tovra::qt
