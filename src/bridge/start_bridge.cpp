#include "app/status_texts.h"
#include "app/tovra_app_delegate.h"
#include "bridge/bridge_constants.h"
#include "common/file_checks.h"

namespace tovra {

namespace {

void showMissingFilesAlert(platform::Platform& platform)
{
    platform::AlertContent alert;
    alert.style = platform::AlertStyle::critical;
    alert.messageText = texts::kAlertMessage;
    alert.informativeText = platform.words.filesIncompleteAdvice;
    alert.buttons = {texts::kAlertButton};
    platform.application.activateIgnoringOtherApps();
    platform.alerts.runModal(alert);
}

} // namespace

void TovraAppDelegate::startBridge()
{
    // A task whose exit has not been processed yet still counts as present.
    if (bridgeProcess) {
        return;
    }

    const std::optional<std::filesystem::path> resources = platform_.bundle.resourceDirectory();
    if (!resources) {
        setBridgeStatus(texts::kBridgeFilesMissing, false);
        return;
    }

    const std::filesystem::path runtime = *resources / bridge::kRuntimeExecutable;
    const std::filesystem::path script = *resources / bridge::kServerScript;
    if (!fileManager.isExecutableFile(runtime) || !fileExists(script)) {
        setBridgeStatus(texts::kBridgeFilesMissing, false);
        showMissingFilesAlert(platform_);
        return;
    }

    const std::filesystem::path dataDirectory = this->dataDirectory();
    fileManager.createDirectory(dataDirectory);

    appendLogHeader();

    std::shared_ptr<platform::Task> task = platform_.taskLauncher.makeTask();
    task->setExecutable(runtime);
    task->setArguments({script.string()});
    task->setProcessName(bridge::kRuntimeName);
    task->setCurrentDirectory(*resources / bridge::kWorkingDirectory);

    // Whole strings are assigned: GCC 12 warns falsely (-Wrestrict) on assigning a literal at -O3.
    platform::Environment environment = platform_.processInfo.environment();
    environment["TOVRA_BACKGROUND"] = std::string("1");
    environment["TOVRA_DATA_DIR"] = dataDirectory.string();
    environment["PORT"] = std::string(bridge::kPort);
    task->setEnvironment(environment);

    if (logHandle) {
        task->setStandardOutput(logHandle);
        task->setStandardError(logHandle);
    }

    // Whatever thread it runs on, it touches nothing and only hands the exit to the main queue.
    task->setTerminationHandler([exited = whileAlive(&TovraAppDelegate::bridgeDidExit),
                                 &mainQueue = platform_.mainQueue,
                                 ended = std::weak_ptr<platform::Task>(task)] {
        mainQueue.async([exited, ended] { exited(ended); });
    });

    if (task->launch()) {
        bridgeProcess = task;
        setBridgeStatus(texts::kStartingBridge, false);
        return;
    }

    closeLogHandle();
    setBridgeStatus(texts::kCouldNotStartBridge, false);
    scheduleRestart();
}

} // namespace tovra
