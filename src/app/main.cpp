// The process entry: reads the command line, claims the one instance, makes the platform and the
// delegate, runs the loop.
#include <iostream>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/status_texts.h"
#include "app/tovra_app_delegate.h"
#include "platform/process_entry.h"

int main(int argc, char** argv)
{
    using namespace tovra;

    // Before anything else: an option that only prints or asks touches nothing of this user's, and
    // ends at once on a termination signal, as any command does.
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const Invocation invocation = readCommandLine(arguments);
    if (invocation != Invocation::run && invocation != Invocation::runFromLogin) {
        platform::endOnTerminationSignals();
        const auto ask = [](const std::string& request) {
            return platform::askRunningInstance(request, kAnswerTime);
        };
        return answerCommandLine(invocation, platform::programVersion(), ask, std::cout, std::cerr,
                                 misuseNote(arguments));
    }

    // A second start for this user touches nothing: it brings up the running instance's window,
    // unless the login started it. The claim comes while the termination signals are still held
    // back (by the launcher), so that the instance catches one that comes meanwhile, and a second
    // start ends on it at once.
    platform::HeldInstance instance = platform::claimSingleInstance();
    if (!instance) {
        platform::endOnTerminationSignals();
        if (invocation == Invocation::runFromLogin) {
            return kExitSuccess;
        }
        const auto notify = [](const std::string& summary, const std::string& body) {
            platform::postDesktopNotification(texts::kApplicationName, summary, body);
        };
        return answerSecondStart(platform::askRunningInstance(controlRequest(invocation), kAnswerTime),
                                 std::cerr, notify);
    }
    // From here on a termination signal ends the program cleanly.
    platform::catchTerminationSignals();

    // Torn down in reverse: the delegate goes before the platform it uses.
    const std::unique_ptr<platform::Backends> backends =
        platform::makeBackends(std::move(instance), argc, argv, texts::kApplicationName);
    const platform::Platform platform = backends->platform();
    const auto delegate = std::make_shared<TovraAppDelegate>(platform);
    platform.application.setDelegate(delegate);
    return platform.application.run();
}
