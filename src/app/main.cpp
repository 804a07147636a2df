// The process entry: claims the one instance, makes the platform and the delegate, runs the loop.
#include <memory>

#include "app/status_texts.h"
#include "app/tovra_app_delegate.h"
#include "platform/process_entry.h"

int main(int argc, char** argv)
{
    using namespace tovra;

    // Before anything else: from here on a termination signal ends the program cleanly, and a
    // second start for this user leaves having touched nothing.
    platform::catchTerminationSignals();
    if (!platform::claimSingleInstance()) {
        platform::postDesktopNotification(texts::kProductName, texts::kAlreadyRunning,
                                          texts::kAlreadyRunningDetail);
        return 0;
    }

    // Torn down in reverse: the delegate goes before the platform it uses.
    const std::unique_ptr<platform::Backends> backends =
        platform::makeBackends(argc, argv, texts::kProductName);
    const platform::Platform platform = backends->platform();
    const auto delegate = std::make_shared<TovraAppDelegate>(platform);
    platform.application.setDelegate(delegate);
    return platform.application.run();
}
