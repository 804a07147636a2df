#pragma once

// The platform for tests of the core. A virtual clock drives the main queue, its work items and
// timers. Every other service writes what it was asked into one history, in order ("launch
// <program>", "terminate <pid>", "title:", "tint:green", "tooltip:", "state:on", "alert:",
// "open:", "copy:", "defaults:", "register", "notify:", "quit", "log:close", ...), so that a
// test states what it expects in one comparison. Files are real, in a temporary home.

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/tovra_app_delegate.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace tovra::testing {

using History = std::vector<std::string>;
using platform::Environment, platform::InfoValue, platform::LoginItemStatus;
using std::filesystem::path;

class FakeMainQueue : public platform::MainQueue {
public:
    void async(std::function<void()> block) override
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(block));
    }
    void asyncAfter(double delay, std::shared_ptr<platform::WorkItem> item) override
    {
        due_.push_back({now + delay, 0, [item] { item->perform(); }, std::make_shared<bool>(true)});
    }
    std::unique_ptr<platform::Timer> scheduledTimer(double interval, std::function<void()> tick) override;
    // Runs the posted blocks, and those they post, until none is left.
    void runPending();
    // Moves the clock on, running each item and tick that falls due at its own time.
    void advance(double seconds);
    double now = 0;

private:
    struct Due {
        double at, interval; // interval 0: a work item, run once
        std::function<void()> run;
        std::shared_ptr<bool> valid;
    };
    std::mutex mutex_; // blocks may be posted from any thread
    std::deque<std::function<void()>> posted_;
    std::vector<Due> due_;
};

class FakeTask;
struct FakeMenuItem;

// Every service but the main queue.
class FakePlatform : public platform::Application,
                     public platform::Clock,
                     public platform::FileManager,
                     public platform::TaskLauncher,
                     public platform::Bundle,
                     public platform::ProcessInfo,
                     public platform::StatusBar,
                     public platform::StatusItem,
                     public platform::StatusBarButton,
                     public platform::Menu,
                     public platform::Alerts,
                     public platform::Workspace,
                     public platform::Pasteboard,
                     public platform::UserDefaults,
                     public platform::URLSession,
                     public platform::LoginService,
                     public platform::Notifications {
public:
    FakePlatform();
    platform::Platform platform()
    {
        return {*this, queue, *this, *this, *this, *this, *this, *this,
                *this, *this, *this, *this, *this, *this, *this};
    }
    void record(std::string event);
    History history();
    // The entries that start with one of the prefixes, in order.
    History only(std::initializer_list<const char*> prefixes);
    History only(const std::string& prefix) { return only({prefix.c_str()}); }
    // Answers request `index` on the calling thread, as the session's thread would.
    void answer(std::size_t index, std::optional<std::string> body);
    std::vector<platform::URLRequest> requests();
    std::shared_ptr<FakeTask> lastTask() { return tasks.back(); }

    void setDelegate(std::weak_ptr<platform::ApplicationDelegate>) override {}
    int run() override { return 0; }
    void setActivationPolicy(platform::ActivationPolicy policy) override
    {
        record(policy == platform::ActivationPolicy::accessory ? "accessory" : "regular");
    }
    void activateIgnoringOtherApps() override { record("activate"); }
    void terminate() override { record("quit"); }
    std::chrono::system_clock::time_point now() override;
    path homeDirectoryForCurrentUser() override { return home; }
    bool isExecutableFile(const path& file) override;
    bool createDirectory(const path& folder) override
    {
        return std::filesystem::create_directories(folder, ignored);
    }
    bool createFile(const path& file) override;
    std::shared_ptr<platform::FileHandle> fileHandleForWriting(const path& file) override;
    std::shared_ptr<platform::Task> makeTask() override;
    std::optional<path> resourceDirectory() override { return resources; }
    InfoValue infoValue(std::string_view key) override
    {
        return key == "CFBundleShortVersionString" ? version : InfoValue{};
    }
    Environment environment() override { return env; }
    std::uint32_t userId() override { return 501; }
    std::shared_ptr<platform::StatusItem> statusItem(double length) override;
    std::shared_ptr<platform::Image> systemSymbolImage(const std::string& name,
                                                       const std::string& text) override;
    std::shared_ptr<platform::Menu> makeMenu() override { return {std::shared_ptr<void>(), this}; }
    std::shared_ptr<platform::MenuItem> makeMenuItem(const std::string& title, std::function<void()> action,
                                                     const std::string& key) override;
    StatusBarButton* button() override { return hasButton ? this : nullptr; }
    void setMenu(std::shared_ptr<platform::Menu>) override { record("menu attached"); }
    bool isVisible() override { return true; }
    void setImage(std::shared_ptr<platform::Image> image) override { record(image ? "image" : "no image"); }
    void setToolTip(const std::string& text) override { record("tooltip:" + text); }
    void setContentTintColor(platform::TintColor color) override
    {
        record(color == platform::TintColor::systemGreen ? "tint:green" : "tint:grey");
    }
    void addItem(std::shared_ptr<platform::MenuItem> item) override;
    void addSeparator() override { menu.push_back(nullptr); }
    int runModal(const platform::AlertContent& alert) override;
    bool openURL(const std::string& url) override { return record("open:" + url), true; }
    void activateFileViewerSelecting(const std::vector<path>& files) override
    {
        record("reveal:" + files.at(0).string());
    }
    void clearContents() override { record("clear"); }
    void setString(const std::string& text) override { record("copy:" + text); }
    bool boolForKey(const std::string& key) override { return defaults[key]; }
    void setBool(const std::string& key, bool value) override;
    void dataTask(const platform::URLRequest& request, platform::DataCompletion completion) override;
    LoginItemStatus status() override { return loginStatus; }
    bool registerService() override { return changeLogin("register", LoginItemStatus::enabled); }
    bool unregisterService() override { return changeLogin("unregister", LoginItemStatus::notRegistered); }
    void openSettingsPane() override { record("settings"); }
    void post(const std::string& summary, const std::string& body) override
    {
        record("notify:" + summary + " | " + body);
    }

    TempDir root;
    path home = root / "home", logFile = home / "Library/Logs/Tovra Bridge.log";
    std::optional<path> resources = root / "share/tovra-bridge";
    FakeMainQueue queue;
    Environment env{{"HOME", "/home/someone"}, {"PORT", "9999"}};
    InfoValue version = std::string("2.4.1");
    std::vector<std::shared_ptr<FakeTask>> tasks;
    std::vector<std::shared_ptr<FakeMenuItem>> menu; // null for a separator
    std::map<std::string, bool> defaults;
    LoginItemStatus loginStatus = LoginItemStatus::notRegistered;
    bool launchesSucceed = true, loginCallsSucceed = true, defaultsStick = true, hasButton = true;
    std::function<void()> whileAlertShown;
    std::error_code ignored;

private:
    bool changeLogin(const char* call, LoginItemStatus after);

    std::mutex mutex_;
    History history_;
    std::vector<std::pair<platform::URLRequest, platform::DataCompletion>> sent_;
};

class FakeTask : public platform::Task {
public:
    FakeTask(FakePlatform& fake, int pid) : fake_(fake), pid_(pid) {}
    void setExecutable(const path& value) override { executable = value; }
    void setArguments(const std::vector<std::string>& values) override { arguments = values; }
    void setCurrentDirectory(const path& value) override { directory = value; }
    void setEnvironment(const Environment& values) override { environment = values; }
    void setStandardOutput(std::shared_ptr<platform::FileHandle> handle) override { output = handle; }
    void setStandardError(std::shared_ptr<platform::FileHandle> handle) override { error = handle; }
    void setTerminationHandler(std::function<void()> handler) override
    {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    bool launch() override
    {
        return fake_.record("launch " + executable.string()), running_ = fake_.launchesSucceed;
    }
    bool isRunning() const override { return running_; }
    void terminate() override { fake_.record("terminate " + std::to_string(pid_)); }
    void waitUntilExit() override { fake_.record("wait"); }
    int processIdentifier() const override { return pid_; }
    // The child ends: its handler runs on the calling thread, as the platform's waiter would.
    void exit();

    path executable, directory;
    std::vector<std::string> arguments;
    Environment environment;
    std::shared_ptr<platform::FileHandle> output, error;

private:
    FakePlatform& fake_;
    const int pid_;
    std::mutex mutex_;
    std::function<void()> handler_;
    bool running_ = false;
};

struct FakeMenuItem : platform::MenuItem {
    FakeMenuItem(FakePlatform& fake, std::string title, std::function<void()> action)
        : fake(fake), title(std::move(title)), action(std::move(action))
    {
    }
    void setTitle(const std::string& value) override { fake.record("title:" + (title = value)); }
    void setEnabled(bool) override {}
    void setState(platform::ControlState value) override
    {
        fake.record(value == platform::ControlState::on ? "state:on" : "state:off");
    }

    FakePlatform& fake;
    std::string title;
    std::function<void()> action;
};

// A delegate on a fresh fake platform.
class DelegateTest : public ::testing::Test {
protected:
    void launch() { delegate->applicationDidFinishLaunching(); }
    // Chooses the menu entry with this title.
    void choose(const std::string& title);
    void bridgeExits()
    {
        fake.lastTask()->exit();
        fake.queue.runPending();
    }
    // The newest request is answered, and the main queue runs.
    void answerLatest(const std::string& body)
    {
        fake.answer(fake.requests().size() - 1, body);
        fake.queue.runPending();
    }

    FakePlatform fake;
    std::shared_ptr<TovraAppDelegate> delegate = std::make_shared<TovraAppDelegate>(fake.platform());
};

std::string healthBody(bool midiReady, long pairedClients);

} // namespace tovra::testing
