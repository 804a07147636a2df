#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

// What the process entry needs of the platform it was built for. Each backend set defines these
// once; the entry names no backend.
namespace tovra::platform {

// From here on SIGTERM, SIGINT and SIGHUP end the program through Application::terminate(),
// also before the event loop runs. A SIGHUP ignored at start (as nohup leaves it) stays ignored.
void catchTerminationSignals();

// For a start that only asks and prints, or leaves: from here on SIGTERM, SIGINT and SIGHUP end
// the program at once, as they end any program, wherever it waits. One ignored at start stays so.
void endOnTerminationSignals();

// This user's single instance, held while its claim lives; what it holds is the backend set's.
class InstanceClaim;
struct InstanceClaimDeleter {
    void operator()(InstanceClaim* claim) const;
};
using HeldInstance = std::unique_ptr<InstanceClaim, InstanceClaimDeleter>;

// Claims this user's single instance, whatever the environment of this start; null when another
// instance of this user's holds it. A claim that cannot be proved either way counts as the only
// one. The instance that holds it listens for its control channel at once, and serves it
// (Platform::controlChannel) once the program runs, on the backends made with the claim.
HeldInstance claimSingleInstance();

// Sends `request` to the control channel of this user's running instance, wherever it was started
// from, and waits `seconds` at most for its answer. Nobody when no instance of this user's runs;
// silent when one runs but gave no answer (it may be starting, or stopped). Touches nothing.
ControlReply askRunningInstance(const std::string& request, double seconds);

// The program's version, as the build gives it.
std::string programVersion();

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

// `instance` is the claim claimSingleInstance gave (never null), kept until the backends go.
// `applicationName` is what the desktop shows for the program (window titles, notifications).
std::unique_ptr<Backends> makeBackends(HeldInstance instance, int& argc, char** argv,
                                       const std::string& applicationName);

} // namespace tovra::platform
