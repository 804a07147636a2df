#pragma once

// A recording platform for unit tests of the core: a virtual clock drives the main queue,
// work items and timers; every other service records what it was asked.

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tovra::testing {

// What the fakes were asked, in order, across all of them.
class EventLog {
public:
    void add(std::string event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

class FakeMainQueue : public platform::MainQueue {
public:
    void async(std::function<void()> block) override;
    void asyncAfter(double delaySeconds, std::shared_ptr<platform::WorkItem> item) override;
    std::unique_ptr<platform::Timer> scheduledTimer(double intervalSeconds,
                                                    std::function<void()> tick) override;

    // Runs posted blocks in order, including those they post, until none is left.
    void runPending();
    // Moves the virtual clock forward, running every item and tick that falls due on the way
    // at its own time, each followed by the blocks it posted.
    void advance(double seconds);
    double now() const { return now_; }

    std::size_t postedCount() const;
    // Items scheduled and neither run nor cancelled.
    std::size_t pendingWorkItems() const;
    std::size_t activeTimers() const;

private:
    struct Scheduled {
        double deadline;
        std::uint64_t order;
        std::shared_ptr<platform::WorkItem> item;
    };
    struct TimerState {
        double interval;
        double nextFire;
        std::uint64_t order;
        std::function<void()> tick;
        bool valid = true;
    };
    class FakeTimer;

    mutable std::mutex mutex_; // guards posted_ only: blocks may be posted from any thread
    std::deque<std::function<void()>> posted_;
    std::vector<Scheduled> scheduled_;
    std::vector<std::shared_ptr<TimerState>> timers_;
    double now_ = 0.0;
    std::uint64_t order_ = 0;
};

class FakeClock : public platform::Clock {
public:
    explicit FakeClock(const FakeMainQueue& queue) : queue_(queue) {}
    std::chrono::system_clock::time_point now() override;
    // The wall-clock time at virtual time zero.
    std::chrono::system_clock::time_point start = std::chrono::sys_days{std::chrono::year{2026} / 12 / 5} +
                                                  std::chrono::hours{3} + std::chrono::minutes{48} +
                                                  std::chrono::seconds{30};

private:
    const FakeMainQueue& queue_;
};

class FakeFileHandle : public platform::FileHandle {
public:
    FakeFileHandle(std::filesystem::path path, EventLog& log);
    ~FakeFileHandle() override;
    bool seekToEnd() override;
    bool write(std::string_view bytes) override;
    bool close() override;
    int fileDescriptor() const override { return -1; }

    bool isClosed() const { return closed_; }
    bool isOpen() const { return file_ != nullptr; }

    const std::filesystem::path path;

private:
    EventLog& log_;
    std::FILE* file_ = nullptr;
    bool closed_ = false;
};

// Works on the real file system, under the test's own temporary home.
class FakeFileManager : public platform::FileManager {
public:
    explicit FakeFileManager(EventLog& log) : log_(log) {}
    std::filesystem::path homeDirectoryForCurrentUser() override { return home; }
    bool isExecutableFile(const std::filesystem::path& path) override;
    bool createDirectory(const std::filesystem::path& path) override;
    bool createFile(const std::filesystem::path& path) override;
    std::shared_ptr<platform::FileHandle> fileHandleForWriting(const std::filesystem::path& path) override;

    std::filesystem::path home;
    std::vector<std::filesystem::path> createdDirectories;
    std::vector<std::shared_ptr<FakeFileHandle>> openedHandles;

private:
    EventLog& log_;
};

class FakeTaskLauncher;

class FakeTask : public platform::Task, public std::enable_shared_from_this<FakeTask> {
public:
    explicit FakeTask(FakeTaskLauncher& launcher) : launcher_(launcher) {}
    void setExecutable(const std::filesystem::path& path) override { executable = path; }
    void setArguments(const std::vector<std::string>& values) override { arguments = values; }
    void setCurrentDirectory(const std::filesystem::path& path) override { currentDirectory = path; }
    void setEnvironment(const platform::Environment& values) override { environment = values; }
    void setStandardOutput(std::shared_ptr<platform::FileHandle> handle) override { standardOutput = handle; }
    void setStandardError(std::shared_ptr<platform::FileHandle> handle) override { standardError = handle; }
    void setTerminationHandler(std::function<void()> handler) override;
    bool launch() override;
    bool isRunning() const override { return running_; }
    void terminate() override;
    void waitUntilExit() override;

    // The child ends: the handler runs on the calling thread, as the platform's waiter would.
    void exit();
    bool hasTerminationHandler() const;

    std::filesystem::path executable;
    std::vector<std::string> arguments;
    std::optional<std::filesystem::path> currentDirectory;
    std::optional<platform::Environment> environment;
    std::shared_ptr<platform::FileHandle> standardOutput;
    std::shared_ptr<platform::FileHandle> standardError;
    bool launched = false;
    int terminateRequests = 0;
    int waits = 0;

private:
    FakeTaskLauncher& launcher_;
    mutable std::mutex mutex_;
    std::function<void()> handler_;
    bool running_ = false;
};

class FakeTaskLauncher : public platform::TaskLauncher {
public:
    explicit FakeTaskLauncher(EventLog& log) : log(log) {}
    std::shared_ptr<platform::Task> makeTask() override;

    // Decides each launch; by default every launch succeeds.
    std::function<bool(FakeTask&)> onLaunch;
    std::vector<std::shared_ptr<FakeTask>> tasks;
    std::vector<std::shared_ptr<FakeTask>> launchedTasks() const;
    // Launched tasks still running.
    std::size_t runningCount() const;
    EventLog& log;
};

class FakeBundle : public platform::Bundle {
public:
    std::optional<std::filesystem::path> resourceDirectory() override { return resources; }
    platform::InfoValue infoValue(std::string_view key) override;

    std::optional<std::filesystem::path> resources;
    std::map<std::string, platform::InfoValue, std::less<>> info;
};

class FakeProcessInfo : public platform::ProcessInfo {
public:
    platform::Environment environment() override { return env; }
    std::uint32_t userId() override { return uid; }

    platform::Environment env{{"HOME", "/home/someone"}, {"LANG", "C.UTF-8"}};
    std::uint32_t uid = 1000;
};

class FakeImage : public platform::Image {
public:
    explicit FakeImage(std::string name) : name(std::move(name)) {}
    const std::string name;
};

class FakeStatusBarButton : public platform::StatusBarButton {
public:
    explicit FakeStatusBarButton(EventLog& log) : log_(log) {}
    void setImage(std::shared_ptr<platform::Image> value) override
    {
        imageWasSet = true;
        image = std::move(value);
    }
    void setToolTip(const std::string& value) override
    {
        toolTip = value;
        log_.add("tooltip:" + value);
    }
    void setContentTintColor(platform::TintColor color) override
    {
        tint = color;
        log_.add(color == platform::TintColor::systemGreen ? "tint:green" : "tint:grey");
    }

    bool imageWasSet = false;
    std::shared_ptr<platform::Image> image;
    std::string toolTip;
    std::optional<platform::TintColor> tint;

private:
    EventLog& log_;
};

class FakeMenuItem : public platform::MenuItem {
public:
    FakeMenuItem(std::string title, std::function<void()> action, std::string keyEquivalent, EventLog& log)
        : title(std::move(title)), action(std::move(action)), keyEquivalent(std::move(keyEquivalent)),
          log_(log)
    {
    }
    void setTitle(const std::string& value) override
    {
        title = value;
        log_.add("title:" + value);
    }
    void setEnabled(bool value) override { enabled = value; }
    void setState(platform::ControlState value) override { state = value; }

    std::string title;
    std::function<void()> action;
    std::string keyEquivalent;
    bool enabled = true;
    std::optional<platform::ControlState> state;

private:
    EventLog& log_;
};

class FakeMenu : public platform::Menu {
public:
    void addItem(std::shared_ptr<platform::MenuItem> item) override
    {
        entries.push_back(std::dynamic_pointer_cast<FakeMenuItem>(item));
    }
    void addSeparator() override { entries.push_back(nullptr); }

    // Null for a separator.
    std::vector<std::shared_ptr<FakeMenuItem>> entries;
};

class FakeStatusItem : public platform::StatusItem {
public:
    FakeStatusItem(bool withButton, EventLog& log)
        : button_(withButton ? std::make_unique<FakeStatusBarButton>(log) : nullptr)
    {
    }
    platform::StatusBarButton* button() override { return button_.get(); }
    void setMenu(std::shared_ptr<platform::Menu> value) override
    {
        menu = std::dynamic_pointer_cast<FakeMenu>(value);
    }

    FakeStatusBarButton* fakeButton() { return button_.get(); }
    std::shared_ptr<FakeMenu> menu;
    double length = 0;

private:
    std::unique_ptr<FakeStatusBarButton> button_;
};

class FakeStatusBar : public platform::StatusBar {
public:
    explicit FakeStatusBar(EventLog& log) : log_(log) {}
    std::shared_ptr<platform::StatusItem> statusItem(double length) override;
    std::shared_ptr<platform::Image> systemSymbolImage(const std::string& name,
                                                       const std::string& accessibilityDescription) override;
    std::shared_ptr<platform::Menu> makeMenu() override { return std::make_shared<FakeMenu>(); }
    std::shared_ptr<platform::MenuItem> makeMenuItem(const std::string& title, std::function<void()> action,
                                                     const std::string& keyEquivalent) override;

    bool itemsHaveButtons = true;
    std::set<std::string> knownSymbols{"slider.vertical.3"};
    std::vector<std::shared_ptr<FakeStatusItem>> items;
    std::vector<std::string> imageDescriptions;

private:
    EventLog& log_;
};

class FakeAlerts : public platform::Alerts {
public:
    explicit FakeAlerts(EventLog& log) : log_(log) {}
    int runModal(const platform::AlertContent& alert) override
    {
        shown.push_back(alert);
        log_.add("alert:" + alert.messageText);
        if (whileShown) {
            whileShown();
        }
        return 0;
    }
    std::vector<platform::AlertContent> shown;
    // Runs while the alert is up.
    std::function<void()> whileShown;

private:
    EventLog& log_;
};

class FakeWorkspace : public platform::Workspace {
public:
    explicit FakeWorkspace(EventLog& log) : log_(log) {}
    bool openURL(const std::string& url) override
    {
        openedURLs.push_back(url);
        log_.add("open:" + url);
        return openSucceeds;
    }
    void activateFileViewerSelecting(const std::vector<std::filesystem::path>& files) override
    {
        revealed.push_back(files);
        log_.add("reveal");
    }

    std::vector<std::string> openedURLs;
    std::vector<std::vector<std::filesystem::path>> revealed;
    bool openSucceeds = true;

private:
    EventLog& log_;
};

class FakePasteboard : public platform::Pasteboard {
public:
    explicit FakePasteboard(EventLog& log) : log_(log) {}
    void clearContents() override
    {
        contents.reset();
        log_.add("pasteboard:clear");
    }
    void setString(const std::string& text) override
    {
        contents = text;
        log_.add("pasteboard:set " + text);
    }
    std::optional<std::string> contents;

private:
    EventLog& log_;
};

class FakeUserDefaults : public platform::UserDefaults {
public:
    explicit FakeUserDefaults(EventLog& log) : log_(log) {}
    bool boolForKey(const std::string& key) override { return values.contains(key) && values[key]; }
    void setBool(const std::string& key, bool value) override
    {
        values[key] = value;
        log_.add("defaults:" + key + (value ? "=true" : "=false"));
    }
    std::map<std::string, bool> values;

private:
    EventLog& log_;
};

class FakeURLSession : public platform::URLSession {
public:
    void dataTask(const platform::URLRequest& request, platform::DataCompletion completion) override;

    struct Sent {
        platform::URLRequest request;
        platform::DataCompletion completion;
    };
    // Completes request `index` on the calling thread, as the session's own thread would.
    void complete(std::size_t index, std::optional<std::string> body);
    std::vector<Sent> sent() const;
    std::size_t count() const;

private:
    mutable std::mutex mutex_;
    std::vector<Sent> sent_;
};

class FakeLoginService : public platform::LoginService {
public:
    explicit FakeLoginService(EventLog& log) : log_(log) {}
    platform::LoginItemStatus status() override { return current; }
    bool registerService() override
    {
        ++registrations;
        log_.add("login:register");
        current = registerSucceeds ? platform::LoginItemStatus::enabled : current;
        return registerSucceeds;
    }
    bool unregisterService() override
    {
        log_.add("login:unregister");
        current = unregisterSucceeds ? platform::LoginItemStatus::notRegistered : current;
        return unregisterSucceeds;
    }
    void openSettingsPane() override
    {
        ++settingsPaneOpenings;
        log_.add("login:settings");
    }

    platform::LoginItemStatus current = platform::LoginItemStatus::notRegistered;
    bool registerSucceeds = true;
    bool unregisterSucceeds = true;
    int registrations = 0;
    int settingsPaneOpenings = 0;

private:
    EventLog& log_;
};

class FakeApplication : public platform::Application {
public:
    explicit FakeApplication(EventLog& log) : log_(log) {}
    void setDelegate(std::weak_ptr<platform::ApplicationDelegate> value) override { delegate = value; }
    int run() override { return 0; }
    void setActivationPolicy(platform::ActivationPolicy value) override
    {
        policy = value;
        log_.add("app:policy");
    }
    void activateIgnoringOtherApps() override { log_.add("app:activate"); }
    void terminate() override
    {
        ++terminateRequests;
        log_.add("app:terminate");
    }

    std::weak_ptr<platform::ApplicationDelegate> delegate;
    std::optional<platform::ActivationPolicy> policy;
    int terminateRequests = 0;

private:
    EventLog& log_;
};

// All fakes together, with a fresh temporary home and a complete set of bridge files.
class FakePlatform {
public:
    FakePlatform();
    ~FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    platform::Platform platform();

    std::filesystem::path root; // removed with the fake
    std::filesystem::path home() const { return fileManager.home; }
    std::filesystem::path resources() const { return root / "share/tovra-bridge"; }
    std::filesystem::path logFile() const;
    std::string readLog() const;

    EventLog log;
    FakeMainQueue mainQueue;
    FakeClock clock{mainQueue};
    FakeFileManager fileManager{log};
    FakeTaskLauncher taskLauncher{log};
    FakeBundle bundle;
    FakeProcessInfo processInfo;
    FakeStatusBar statusBar{log};
    FakeAlerts alerts{log};
    FakeWorkspace workspace{log};
    FakePasteboard pasteboard{log};
    FakeUserDefaults userDefaults{log};
    FakeURLSession urlSession;
    FakeLoginService loginService{log};
    FakeApplication application{log};
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view contents);

} // namespace tovra::testing
