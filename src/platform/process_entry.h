#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

// What the process entry needs of the platform it was built for. Each backend set defines these
// once; the entry names no backend.
namespace tovra::platform {

// From here on SIGTERM, SIGINT and SIGHUP end the program through Application::terminate(),
// also before the event loop runs. A SIGHUP ignored at start (as nohup leaves it) stays ignored.
void catchTerminationSignals();

// Claims this user's single instance for the life of the process; false when another instance
// of this user's holds it. A claim that cannot be proved either way counts as the only one.
bool claimSingleInstance();

// One notification on the user's desktop from `applicationName`, sent before it returns; for a
// start that makes no backends. Nothing without a desktop session.
void postDesktopNotification(const std::string& applicationName, const std::string& summary,
                             const std::string& body);

// The services of this platform, made once and kept until the process entry returns.
class Backends {
public:
    virtual ~Backends() = default;
    virtual Platform platform() = 0;
};

// `applicationName` is what the desktop shows for the program (window titles, notifications).
std::unique_ptr<Backends> makeBackends(int& argc, char** argv, const std::string& applicationName);

} // namespace tovra::platform
