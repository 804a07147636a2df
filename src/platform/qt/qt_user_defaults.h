#pragma once

#include "platform/user_defaults.h"

#include <QSettings>
#include <QString>

namespace tovra::qt {

// QSettings in the native format: on Linux $XDG_CONFIG_HOME/<organisation>/<application>.conf.
class QtUserDefaults final : public platform::UserDefaults {
public:
    explicit QtUserDefaults(const QString& organisation = QStringLiteral("Tovra"),
                            const QString& application = QStringLiteral("Tovra Bridge"));
    // Settings kept in the file at `path`.
    static QtUserDefaults atPath(const QString& path);

    bool boolForKey(const std::string& key) override;
    void setBool(const std::string& key, bool value) override;

private:
    struct AtPath {};
    QtUserDefaults(AtPath, const QString& path);

    QSettings settings_;
};

} // namespace tovra::qt
