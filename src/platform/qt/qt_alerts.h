#pragma once

#include "platform/alert.h"

#include <QMessageBox>

namespace tovra::qt {

class QtAlerts final : public platform::Alerts {
public:
    int runModal(const platform::AlertContent& alert) override;
};

} // namespace tovra::qt
