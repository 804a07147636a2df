#pragma once

#include "platform/alert.h"

#include <QMessageBox>

#include <functional>

namespace tovra::qt {

class QtAlerts final : public platform::Alerts {
public:
    // Called with each alert once it is on screen, from inside its modal loop; tests use it to
    // read the alert and press a button.
    using ShownHook = std::function<void(QMessageBox&)>;

    explicit QtAlerts(ShownHook whenShown = {});

    int runModal(const platform::AlertContent& alert) override;

private:
    ShownHook whenShown_;
};

} // namespace tovra::qt
