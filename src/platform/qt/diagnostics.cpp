#include "platform/qt/diagnostics.h"

Q_LOGGING_CATEGORY(lcPlatform, "tovra.platform")
