#include "app/command_line.h"
#include "app/status_texts.h"
#include "app/tovra_app_delegate.h"

namespace tovra {

void TovraAppDelegate::serveControlRequests()
{
    platform_.controlChannel.serve(whileAlive(&TovraAppDelegate::answerControlRequest));
}

void TovraAppDelegate::answerControlRequest(const std::string& request,
                                            platform::ControlChannel::Answer answer)
{
    if (request == requests::kStatus) {
        answer({true, statusText});
    } else if (request == requests::kPhoneLink) {
        fetchPhoneLink([answer](const std::optional<std::string>& phoneURL) {
            answer(phoneURL ? platform::ControlAnswer{true, *phoneURL}
                            : platform::ControlAnswer{false, texts::kNoPhoneLink});
        });
    } else if (request == requests::kQuit) {
        // Before the loop ends, so the asker hears it; a server still running is ended after the
        // program has gone, which the asker is told.
        answer({true, bridgeProcess && bridgeProcess->isRunning() ? texts::kBridgeStillRunning : ""});
        quitTovra();
    } else if (request == requests::kShow) {
        showWindow();
        answer({true, ""});
    } else {
        answer({false, texts::kUnknownRequest});
    }
}

void TovraAppDelegate::showWindow()
{
    if (statusItem) {
        statusItem->showWindow();
    }
}

} // namespace tovra
