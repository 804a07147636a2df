#include "app/status_texts.h"
#include "app/tovra_app_delegate.h"
#include "bridge/bridge_constants.h"

namespace tovra {

void TovraAppDelegate::bridgeDidExit(const std::weak_ptr<platform::Task>& ended)
{
    // When the restart command finds a child that has ended but whose exit is still queued, it
    // starts the next child at once. That old exit must not tear down the new child's state
    // and schedule a second one, so only the exit of the current task counts.
    const std::shared_ptr<platform::Task> endedTask = ended.lock();
    if (!endedTask || endedTask != bridgeProcess) {
        return;
    }

    bridgeProcess.reset();
    bridgeReady = false;
    phoneLink.clear(); // the next bridge gives its own
    closeLogHandle();
    setBridgeStatus(texts::kBridgeStopped, false);
    if (shouldRestart) {
        scheduleRestart();
        reportTakenPort();
    }
}

void TovraAppDelegate::reportTakenPort()
{
    // Our server has ended, so whoever listens on its port now is another program, and every
    // relaunch will stop at once for it. Said once a run; the status line keeps its own texts.
    if (takenPortReported) {
        return;
    }
    const std::optional<platform::ListeningProcess> holder =
        platform_.network.loopbackListener(bridge::kPortNumber);
    if (!holder) {
        return;
    }
    takenPortReported = true;
    const std::string who =
        holder->processIdentifier < 0
            ? std::string(texts::kPortTakenByUnknown)
            : holder->name + " (process " + std::to_string(holder->processIdentifier) + ")";
    platform_.notifications.post(texts::kPortTaken, who + texts::kPortTakenDetailSuffix);
}

void TovraAppDelegate::scheduleRestart()
{
    if (restartWorkItem) {
        restartWorkItem->cancel();
    }
    auto item = std::make_shared<platform::WorkItem>(whileAlive(&TovraAppDelegate::startBridge));
    restartWorkItem = item;
    platform_.mainQueue.asyncAfter(bridge::kRestartDelay, item);
}

void TovraAppDelegate::restartBridge()
{
    if (restartWorkItem) {
        restartWorkItem->cancel();
    }
    if (bridgeProcess && bridgeProcess->isRunning()) {
        // The handler stays installed: the exit shows "Bridge stopped" and the relaunch follows.
        bridgeProcess->terminate();
        return;
    }
    bridgeProcess.reset();
    startBridge();
}

} // namespace tovra
