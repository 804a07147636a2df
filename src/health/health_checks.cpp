#include "app/tovra_app_delegate.h"
#include "health/health.h"

namespace tovra {

namespace {

constexpr double kHealthPollInterval = 1.0;
constexpr double kHealthTimeout = 0.7;

// Set once the setup page has been opened for this user; never cleared.
constexpr const char* kDidOpenSetupKey = "TovraDidOpenSetupV1";

} // namespace

void TovraAppDelegate::startHealthChecks()
{
    if (healthTimer) {
        healthTimer->invalidate();
    }
    healthTimer =
        platform_.mainQueue.scheduledTimer(kHealthPollInterval, whileAlive(&TovraAppDelegate::checkHealth));
    checkHealth();
}

void TovraAppDelegate::checkHealth()
{
    // Only our own bridge's answer counts, so without one there is nobody to ask. Otherwise the
    // request goes whatever the state: no check for an open request, a live child or readiness.
    if (!bridgeProcess) {
        return;
    }
    const platform::URLRequest request{healthURL, platform::CachePolicy::reloadIgnoringLocalCacheData,
                                       kHealthTimeout, bridgeProcess->processIdentifier()};
    platform_.urlSession.dataTask(
        request, [answered = whileAlive(&TovraAppDelegate::healthDidAnswer),
                  &mainQueue = platform_.mainQueue](std::optional<std::string> body) {
            // On the session's thread: decode only, touch no state.
            std::optional<Health> health = body ? decodeHealth(*body) : std::nullopt;
            if (health) {
                mainQueue.async([answered, health = std::move(*health)] { answered(health); });
            }
        });
}

void TovraAppDelegate::healthDidAnswer(const Health& health)
{
    // An answer that comes once the program ends (the loop may run a moment longer) changes nothing.
    if (!shouldRestart) {
        return;
    }
    const bool wasReady = bridgeReady;
    bridgeReady = true;
    setBridgeStatus(healthStatusText(health), health.midiReady);
    // The window shows the link: asked for as a bridge becomes ready, and at each answer until it
    // is in, once the window has been shown.
    if (windowShown && (!wasReady || phoneLink.empty())) {
        fetchPhoneLink(whileAlive(&TovraAppDelegate::phoneLinkDidArrive));
    }
    if (!wasReady && !platform_.userDefaults.boolForKey(kDidOpenSetupKey)) {
        // The flag is stored before the page opens, so a crash in between cannot open it twice.
        platform_.userDefaults.setBool(kDidOpenSetupKey, true);
        platform_.workspace.openURL(setupURL);
    }
}

} // namespace tovra
