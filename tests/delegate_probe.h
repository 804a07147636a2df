#pragma once

#include "app/tovra_app_delegate.h"
#include "health/health.h"

namespace tovra {

// Reads the delegate's fields and calls its internal operations, for tests only.
struct TovraAppDelegateProbe {
    explicit TovraAppDelegateProbe(TovraAppDelegate& delegate) : d(delegate) {}

    const std::string& setupURL() const { return d.setupURL; }
    const std::string& healthURL() const { return d.healthURL; }
    const std::string& setupInfoURL() const { return d.setupInfoURL; }
    const std::shared_ptr<platform::StatusItem>& statusItem() const { return d.statusItem; }
    const std::shared_ptr<platform::MenuItem>& statusMenuItem() const { return d.statusMenuItem; }
    const std::shared_ptr<platform::MenuItem>& launchAtLoginItem() const { return d.launchAtLoginItem; }
    const std::shared_ptr<platform::Task>& bridgeProcess() const { return d.bridgeProcess; }
    const std::shared_ptr<platform::FileHandle>& logHandle() const { return d.logHandle; }
    const std::unique_ptr<platform::Timer>& healthTimer() const { return d.healthTimer; }
    bool shouldRestart() const { return d.shouldRestart; }
    const std::shared_ptr<platform::WorkItem>& restartWorkItem() const { return d.restartWorkItem; }
    bool bridgeReady() const { return d.bridgeReady; }

    void buildMenu() { d.buildMenu(); }
    void migrateLegacyBackgroundBridge() { d.migrateLegacyBackgroundBridge(); }
    void enableLaunchAtLoginIfPossible() { d.enableLaunchAtLoginIfPossible(); }
    void startBridge() { d.startBridge(); }
    void scheduleRestart() { d.scheduleRestart(); }
    void startHealthChecks() { d.startHealthChecks(); }
    void checkHealth() { d.checkHealth(); }
    void appendLogHeader() { d.appendLogHeader(); }
    void setBridgeStatus(const std::string& text, bool ready) { d.setBridgeStatus(text, ready); }

    TovraAppDelegate& d;
};

} // namespace tovra
