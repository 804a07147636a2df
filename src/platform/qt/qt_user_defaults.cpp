#include "platform/qt/qt_user_defaults.h"

#include <QVariant>

namespace tovra::qt {

namespace {

QString toQString(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QtUserDefaults::QtUserDefaults(const QString& organisation, const QString& application)
    : settings_(QSettings::NativeFormat, QSettings::UserScope, organisation, application)
{
}

QtUserDefaults::QtUserDefaults(AtPath, const QString& path) : settings_(path, QSettings::NativeFormat) {}

QtUserDefaults QtUserDefaults::atPath(const QString& path)
{
    return QtUserDefaults(AtPath{}, path);
}

bool QtUserDefaults::boolForKey(const std::string& key)
{
    return settings_.value(toQString(key)).toBool();
}

void QtUserDefaults::setBool(const std::string& key, bool value)
{
    settings_.setValue(toQString(key), value);
    settings_.sync();
}

} // namespace tovra::qt
