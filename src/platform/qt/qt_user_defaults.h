#pragma once

#include "platform/user_defaults.h"

#include <QSettings>
#include <QString>

namespace tovra::qt {

// QSettings in the native format, kept in the file at `path`.
class QtUserDefaults final : public platform::UserDefaults {
public:
    explicit QtUserDefaults(const QString& path) : settings_(path, QSettings::NativeFormat) {}

    bool boolForKey(const std::string& key) override;
    void setBool(const std::string& key, bool value) override;

private:
    QSettings settings_;
};

} // namespace tovra::qt
