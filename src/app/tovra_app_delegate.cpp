#include "app/tovra_app_delegate.h"

#include "app/status_texts.h"
#include "bridge/bridge_constants.h"
#include "log/bridge_log.h"

namespace tovra {

namespace {

// How long a desktop has to show the tray item before the user is told it has no tray.
constexpr double kTrayGracePeriod = 15.0;

// What the window says a status line means, and the command it offers first.
struct Guidance {
    std::string explanation;
    std::string primaryAction;
};

Guidance guidanceFor(const std::string& status, const platform::Words& words)
{
    const std::string ready = texts::kReadyPrefix;
    if (status == ready + "0 phones") {
        return {texts::kExplainNoPhone, texts::kSetUpPhone};
    }
    if (status.starts_with(ready)) {
        return {texts::kExplainPaired, texts::kCopyPrivatePhoneLink};
    }
    if (status == texts::kMidiUnavailable) {
        return {texts::kExplainMidiUnavailable, texts::kRestartBridge};
    }
    if (status == texts::kBridgeStopped) {
        return {texts::kExplainStopped, texts::kRestartBridge};
    }
    if (status == texts::kCouldNotStartBridge) {
        return {texts::kExplainCouldNotStart, texts::kRevealLog};
    }
    if (status == texts::kBridgeFilesMissing) {
        return {words.filesIncompleteAdvice, ""};
    }
    return {texts::kExplainStarting, texts::kSetUpPhone};
}

} // namespace

TovraAppDelegate::TovraAppDelegate(platform::Platform platform)
    : platform_(platform), setupURL(bridge::kSetupURL), healthURL(bridge::kHealthURL),
      setupInfoURL(bridge::kSetupInfoURL), fileManager(platform.fileManager)
{
}

void TovraAppDelegate::applicationDidFinishLaunching()
{
    // Each step runs to its end before the next: the menu exists before anything reports a
    // status, and the legacy agent is gone before our own bridge server starts.
    platform_.application.setActivationPolicy(platform::ActivationPolicy::accessory);
    buildMenu();
    serveControlRequests();
    moveInEarlierPlaces();
    migrateLegacyBackgroundBridge();
    enableLaunchAtLoginIfPossible();
    startBridge();
    startHealthChecks();

    platform_.mainQueue.asyncAfter(kTrayGracePeriod, std::make_shared<platform::WorkItem>(
                                                         whileAlive(&TovraAppDelegate::reportMissingTray)));
}

void TovraAppDelegate::reportMissingTray()
{
    // Without a tray nothing of the program shows: no menu, no way to quit. Said once.
    if (statusItem && !statusItem->isVisible()) {
        platform_.notifications.post(texts::kNoTray, texts::kNoTrayDetail, texts::kShowWindow,
                                     whileAlive(&TovraAppDelegate::showWindow));
    }
}

void TovraAppDelegate::setBridgeStatus(const std::string& text, bool ready)
{
    statusText = text;
    if (statusMenuItem) {
        statusMenuItem->setTitle(text);
    }
    platform::StatusBarButton* button = statusItem ? statusItem->button() : nullptr;
    if (button) {
        button->setContentTintColor(ready ? platform::TintColor::systemGreen
                                          : platform::TintColor::secondaryLabel);
        button->setToolTip(texts::kToolTipPrefix + text);
    }
    showWindowContent();
}

void TovraAppDelegate::showWindowContent()
{
    if (!statusItem) {
        return;
    }
    Guidance guidance = guidanceFor(statusText, platform_.words);
    statusItem->setWindowContent({std::move(guidance.explanation), std::move(guidance.primaryAction),
                                  phoneLink, texts::kNoPhoneLinkYet});
}

void TovraAppDelegate::stopBridgeForShutDown()
{
    if (bridgeProcess) {
        // The handler goes first, so the server's exit during shut-down is never observed.
        bridgeProcess->setTerminationHandler({});
        if (bridgeProcess->isRunning()) {
            bridgeProcess->terminate();
        }
    }
}

void TovraAppDelegate::quitTovra()
{
    shouldRestart = false;
    stopBridgeForShutDown();
    platform_.application.terminate();
}

void TovraAppDelegate::applicationWillTerminate()
{
    shouldRestart = false;
    if (restartWorkItem) {
        restartWorkItem->cancel();
    }
    if (healthTimer) {
        healthTimer->invalidate();
    }
    stopBridgeForShutDown();
    if (logHandle) {
        logHandle->close();
    }
}

} // namespace tovra
