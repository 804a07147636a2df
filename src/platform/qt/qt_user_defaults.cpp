#include "platform/qt/qt_user_defaults.h"

#include <QVariant>

#include "platform/diagnostics.h"

namespace tovra::qt {

bool QtUserDefaults::boolForKey(const std::string& key)
{
    return settings_.value(QString::fromStdString(key)).toBool();
}

void QtUserDefaults::setBool(const std::string& key, bool value)
{
    settings_.setValue(QString::fromStdString(key), value);
    settings_.sync();
    if (settings_.status() != QSettings::NoError) {
        platform::warn("cannot store the settings in ", settings_.fileName().toStdString());
    }
}

} // namespace tovra::qt
