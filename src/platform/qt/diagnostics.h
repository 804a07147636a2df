#pragma once

#include <QLoggingCategory>

// Why an operation of the platform failed, for whoever reads the application's standard error,
// never the bridge log: a path and the system's reason, never an address (a phone link is private).
// QT_LOGGING_RULES="tovra.platform.warning=false" turns it off.
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)
