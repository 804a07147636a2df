#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace tovra {

struct Health;
struct PhoneLink;

// The application delegate: the one object that holds the program's state. Its operations
// are defined in the folder of their subsystem (app, bridge, health, menu, login, log).
// Everything here runs on the main thread; callbacks handed to the platform hold it weakly.
class TovraAppDelegate : public platform::ApplicationDelegate,
                         public std::enable_shared_from_this<TovraAppDelegate> {
public:
    explicit TovraAppDelegate(platform::Platform platform);

    // Application lifecycle (app/).
    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

    // Menu actions.
    void openSetup();            // menu/
    void openController();       // menu/
    void copyPrivatePhoneLink(); // menu/
    void toggleLaunchAtLogin();  // login/
    void restartBridge();        // bridge/
    void revealLog();            // log/
    void quitTovra();            // app/

    // A request from another start of the program, on its command line (app/).
    void answerControlRequest(const std::string& request, platform::ControlChannel::Answer answer);

private:
    void buildMenu();                                                // menu/
    void moveInEarlierPlaces();                                      // app/
    void migrateLegacyBackgroundBridge();                            // login/
    void enableLaunchAtLoginIfPossible();                            // login/
    void startBridge();                                              // bridge/
    void bridgeDidExit(const std::weak_ptr<platform::Task>& ended);  // bridge/
    void scheduleRestart();                                          // bridge/
    void startHealthChecks();                                        // health/
    void checkHealth();                                              // health/
    void healthDidAnswer(const Health& health);                      // health/
    void appendLogHeader();                                          // log/
    void performPhoneLinkAction(bool openAfterCopy);                 // menu/
    void fetchPhoneLink(std::function<void(const PhoneLink&)> done); // menu/
    void setBridgeStatus(const std::string& text, bool ready);       // app/
    void showWindowContent();                                        // app/
    void windowDidShow();                                            // menu/
    void phoneLinkDidArrive(const PhoneLink& link);                  // menu/
    void stopBridgeForShutDown();                                    // app/
    void updateLaunchAtLoginState();                                 // login/
    void reportMissingTray();                                        // app/
    void reportTakenPort();                                          // bridge/
    void serveControlRequests();                                     // app/
    void showWindow();                                               // app/

    // A callback for the platform: calls `operation` while the delegate exists, nothing after.
    template <typename... Arguments>
    std::function<void(Arguments...)> whileAlive(void (TovraAppDelegate::*operation)(Arguments...))
    {
        return [self = weak_from_this(), operation](Arguments... arguments) {
            if (const std::shared_ptr<TovraAppDelegate> delegate = self.lock()) {
                ((*delegate).*operation)(std::move(arguments)...);
            }
        };
    }
    std::filesystem::path logFile();       // log/
    void closeLogHandle();                 // log/
    std::filesystem::path dataDirectory(); // app/

    platform::Platform platform_;

    const std::string setupURL;
    const std::string healthURL;
    const std::string setupInfoURL;
    platform::FileManager& fileManager;
    std::shared_ptr<platform::StatusItem> statusItem;
    std::shared_ptr<platform::MenuItem> statusMenuItem;
    std::shared_ptr<platform::MenuItem> launchAtLoginItem;
    std::shared_ptr<platform::Task> bridgeProcess;
    std::shared_ptr<platform::FileHandle> logHandle;
    std::unique_ptr<platform::Timer> healthTimer;
    bool shouldRestart = true;
    std::shared_ptr<platform::WorkItem> restartWorkItem;
    bool bridgeReady = false;
    bool takenPortReported = false;
    std::string statusText;   // the status line as last set, for the command line
    std::string phoneLink;    // the private phone link as last fetched, for the window; never logged
    bool windowShown = false; // the window has been brought up at least once
};

} // namespace tovra
