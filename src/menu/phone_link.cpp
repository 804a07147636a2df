#include "app/status_texts.h"
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
    fetchPhoneLink([openAfterCopy, &workspace = platform_.workspace,
                    &pasteboard = platform_.pasteboard](const PhoneLink& link) {
        if (!link.url) {
            return;
        }
        if (openAfterCopy) {
            workspace.openURL(*link.url);
            return;
        }
        // The text exactly as the server sent it, not re-serialised from a parsed URL.
        pasteboard.clearContents();
        pasteboard.setString(*link.url);
    });
}

// The window shows the link as a code to scan: asked for whenever the window comes up, and, once it
// has, when a bridge becomes ready, so that it follows a restart or a new link.
void TovraAppDelegate::windowDidShow()
{
    windowShown = true;
    if (bridgeReady) {
        fetchPhoneLink(whileAlive(&TovraAppDelegate::phoneLinkDidArrive));
    }
}

void TovraAppDelegate::phoneLinkDidArrive(const PhoneLink& link)
{
    if (link.url && bridgeReady && *link.url != phoneLink) {
        phoneLink = *link.url;
        showWindowContent();
    }
}

void TovraAppDelegate::fetchPhoneLink(std::function<void(const PhoneLink&)> done)
{
    // The link is our own bridge's to give: with no bridge there is nobody to ask.
    if (!bridgeProcess) {
        done({std::nullopt, texts::kNoPhoneLinkWithoutBridge});
        return;
    }
    const platform::URLRequest request{setupInfoURL, platform::CachePolicy::reloadIgnoringLocalCacheData,
                                       kSetupInfoTimeout, bridgeProcess->processIdentifier()};
    // The completion keeps the platform services, never the delegate: a link asked for is
    // delivered even while the rest of the program moves on.
    platform_.urlSession.dataTask(
        request, [&mainQueue = platform_.mainQueue, done = std::move(done)](std::optional<std::string> body) {
            mainQueue.async([done, link = phoneLinkIn(body)] { done(link); });
        });
}

} // namespace tovra
