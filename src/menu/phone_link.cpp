#include "app/tovra_app_delegate.h"
#include "menu/setup_info.h"

namespace tovra {

namespace {

constexpr double kSetupInfoTimeout = 1.5;

} // namespace

void TovraAppDelegate::openSetup()
{
    platform_.workspace.openURL(setupURL);
}

void TovraAppDelegate::copyPrivatePhoneLink()
{
    performPhoneLinkAction(false);
}

void TovraAppDelegate::openController()
{
    performPhoneLinkAction(true);
}

void TovraAppDelegate::performPhoneLinkAction(bool openAfterCopy)
{
    // The link is our own bridge's to give: with no bridge there is nobody to ask.
    if (!bridgeProcess) {
        return;
    }
    const platform::URLRequest request{setupInfoURL, platform::CachePolicy::reloadIgnoringLocalCacheData,
                                       kSetupInfoTimeout, bridgeProcess->processIdentifier()};
    // The completion keeps the flag and the platform services, never the delegate: a link
    // asked for is delivered even while the rest of the program moves on.
    platform_.urlSession.dataTask(
        request, [openAfterCopy, &mainQueue = platform_.mainQueue, &workspace = platform_.workspace,
                  &pasteboard = platform_.pasteboard](std::optional<std::string> body) {
            if (!body) {
                return;
            }
            std::optional<SetupInfo> info = decodeSetupInfo(*body);
            if (!info || !isValidURL(info->phoneURL)) {
                return;
            }
            mainQueue.async([openAfterCopy, phoneURL = std::move(info->phoneURL), &workspace, &pasteboard] {
                if (openAfterCopy) {
                    workspace.openURL(phoneURL);
                    return;
                }
                // The text exactly as the server sent it, not re-serialised from a parsed URL.
                pasteboard.clearContents();
                pasteboard.setString(phoneURL);
            });
        });
}

} // namespace tovra
