#pragma once

// The platform for tests of the core, all on the test's thread. A virtual clock drives the main
// queue and its timers; every other service writes what it was asked into one history, in order
// ("launch <program>", "title:", "tint:green", "alert:", "open:", ...), so that a test states what
// it expects in one comparison. Files are real, in a temporary home.

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <map>

#include "app/tovra_app_delegate.h"
#include "support/temp_dir.h"

namespace tovra::testing {

using namespace platform;
using History = std::vector<std::string>;
using std::filesystem::path;
using Block = std::function<void()>;

struct FakeTask;
struct FakeMenuItem;

// Every service; grouped so that each line of bases reads at a glance.
struct Processes : Application, MainQueue, Clock, FileManager, TaskLauncher, Bundle, ProcessInfo {};
struct Desktop : StatusBar, StatusItem, StatusBarButton, Menu, Alerts, Workspace, Pasteboard {};
struct Services : UserDefaults, URLSession, LoginService, Notifications, Network, ControlChannel {};

class FakePlatform : public Processes, public Desktop, public Services {
public:
    FakePlatform();
    template <typename T> std::shared_ptr<T> unowned() { return {std::shared_ptr<void>(), this}; }
    Platform platform();
    void record(const std::string& event) { history.push_back(event); }
    // The entries of the history that start with one of the prefixes, in order.
    History only(std::initializer_list<std::string_view> prefixes) const;
    History only(std::string_view prefix) const { return only({prefix}); }
    // Runs the posted blocks, and those they post, until none is left.
    void runPending();
    // Chooses the menu entry with this title, and runs the main queue.
    void choose(const std::string& title);
    // Moves the virtual clock on, running each item and tick that falls due at its own time.
    void advance(double seconds);
    // Answers request `index` as the session's thread would.
    void answer(std::size_t i, std::optional<std::string> body) { completions.at(i)(std::move(body)); }

    void setDelegate(std::weak_ptr<ApplicationDelegate>) override {}
    int run() override { return 0; }
    void setActivationPolicy(ActivationPolicy) override { record("accessory"); }
    void activateIgnoringOtherApps() override { record("activate"); }
    void terminate() override { record("quit"); }
    void async(Block block) override { posted.push_back(std::move(block)); }
    void asyncAfter(double delay, std::shared_ptr<WorkItem> item) override
    {
        due.push_back({clock + delay, 0, [item] { item->perform(); }, std::make_shared<bool>(true)});
    }
    std::unique_ptr<Timer> scheduledTimer(double interval, Block tick) override;
    std::chrono::system_clock::time_point now() override;
    path homeDirectoryForCurrentUser() override { return home; }
    path logsDirectory() override { return logs; }
    path applicationSupportDirectory() override { return applicationSupport; }
    bool moveItem(const path& from, const path& to) override
    {
        record("move:" + from.lexically_relative(home).string() + " > " +
               to.lexically_relative(home).string());
        std::filesystem::rename(from, to, ignored);
        return !ignored;
    }
    bool isExecutableFile(const path& f) override { return is_regular_file(f) && !access(f.c_str(), X_OK); }
    bool createDirectory(const path& f) override { return std::filesystem::create_directories(f, ignored); }
    bool createFile(const path& f) override
    {
        return !exists(symlink_status(f, ignored)) && std::ofstream(f);
    }
    std::shared_ptr<FileHandle> fileHandleForWriting(const path& file) override;
    std::shared_ptr<Task> makeTask() override;
    std::optional<path> resourceDirectory() override { return resources; }
    InfoValue infoValue(std::string_view k) override
    {
        return k == "CFBundleShortVersionString" ? version : InfoValue();
    }
    Environment environment() override { return env; }
    std::uint32_t userId() override { return 501; }
    std::shared_ptr<StatusItem> statusItem() override
    {
        record("status item");
        return unowned<StatusItem>();
    }
    std::shared_ptr<Image> systemSymbolImage(const std::string& name, const std::string& text) override
    {
        record("symbol " + name + " " + text);
        return std::make_shared<Image>();
    }
    std::shared_ptr<Menu> makeMenu() override { return unowned<Menu>(); }
    std::shared_ptr<MenuItem> makeMenuItem(const std::string& title, Block action,
                                           const std::string& key) override;
    StatusBarButton* button() override { return this; }
    void setMenu(std::shared_ptr<Menu>) override { record("menu attached"); }
    bool isVisible() override { return true; }
    void setWindowTitle(const std::string& title) override { record("window title:" + title); }
    // Each change: "window content:<explanation> | <primary> | <link, or what stands in its place>".
    void setWindowContent(const WindowContent& content) override
    {
        if (content != windowContent) {
            windowContent = content;
            record("window content:" + content.explanation + " | " + content.primaryAction + " | " +
                   (content.phoneLink.empty() ? content.noPhoneLink : content.phoneLink));
        }
    }
    // The window comes up, and says so.
    void showWindow() override
    {
        record("window");
        windowShown();
    }
    void setWindowShownHandler(Block shown) override { windowShown = std::move(shown); }
    void setImage(std::shared_ptr<Image> image) override { record(image ? "image" : "no image"); }
    void setToolTip(const std::string& text) override { record("tooltip:" + text); }
    void setContentTintColor(TintColor c) override
    {
        record(c == TintColor::systemGreen ? "tint:green" : "tint:grey");
    }
    void addItem(std::shared_ptr<MenuItem> i) override
    {
        menu.push_back(std::dynamic_pointer_cast<FakeMenuItem>(i));
    }
    void addSeparator() override { menu.push_back(nullptr); }
    int runModal(const AlertContent& alert) override;
    bool openURL(const std::string& url) override
    {
        record("open:" + url);
        return true;
    }
    void activateFileViewerSelecting(const std::vector<path>& f) override
    {
        record("reveal:" + f.at(0).string() + (exists(f.at(0), ignored) ? "" : " (nothing there)"));
    }
    void clearContents() override { record("clear"); }
    void setString(const std::string& text) override { record("copy:" + text); }
    bool boolForKey(const std::string& key) override { return defaults[key]; }
    void setBool(const std::string& key, bool value) override
    {
        record("defaults:" + key + (value ? "=true" : "=false"));
        defaults[key] = value && defaultsStick;
    }
    void dataTask(const URLRequest& request, DataCompletion completion) override
    {
        requests.push_back(request);
        completions.push_back(std::move(completion));
    }
    LoginItemStatus status() override { return loginStatus; }
    bool registerService() override { return changeLogin("register", LoginItemStatus::enabled); }
    bool unregisterService() override { return changeLogin("unregister", LoginItemStatus::notRegistered); }
    bool changeLogin(const char* call, LoginItemStatus after)
    {
        record(call);
        loginStatus = loginCallsSucceed ? after : loginStatus;
        return loginCallsSucceed;
    }
    void openSettingsPane() override { record("settings"); }
    void post(const std::string& s, const std::string& b) override { record("notify:" + s + " | " + b); }
    void post(const std::string& s, const std::string& b, const std::string& label, Block) override
    {
        record("notify:" + s + " | " + b + " [" + label + "]");
    }
    void serve(Handler handler) override { controlHandler = std::move(handler); }
    // A request as another start of the program sends it; its answer goes to `answers` ("ok:<text>",
    // "no:<text>").
    void ask(const std::string& request)
    {
        controlHandler(
            request, [this](const ControlAnswer& a) { answers.push_back((a.ok ? "ok:" : "no:") + a.text); });
    }
    std::optional<ListeningProcess> loopbackListener(int port) override
    {
        return port == 4173 ? portHolder : std::nullopt;
    }

    TempDir root;
    path home = root / "home", logs = home / "Library/Logs",
         applicationSupport = home / "Library/Application Support", logFile = logs / "Tovra Bridge.log";
    std::optional<path> resources = root / "share/tovra-bridge";
    History history;
    Environment env{{"HOME", "/home/someone"}, {"PORT", "9999"}};
    InfoValue version = std::string("2.4.1");
    std::optional<ListeningProcess> portHolder;
    std::vector<std::shared_ptr<FakeTask>> tasks;
    std::vector<std::shared_ptr<FakeMenuItem>> menu; // null for a separator
    std::vector<URLRequest> requests;
    std::vector<DataCompletion> completions;
    std::map<std::string, bool> defaults;
    LoginItemStatus loginStatus = LoginItemStatus::notRegistered;
    bool launchesSucceed = true, loginCallsSucceed = true, defaultsStick = true;
    Block whileAlertShown, windowShown;
    WindowContent windowContent;
    Handler controlHandler;
    History answers;
    std::error_code ignored;
    double clock = 0; // virtual seconds since the start

private:
    struct Due {
        double at, interval; // interval 0: a work item, run once
        Block run;
        std::shared_ptr<bool> valid;
    };
    std::deque<Block> posted;
    std::vector<Due> due;
};

struct FakeTask : Task {
    FakeTask(FakePlatform& fake, int pid) : fake(fake), pid(pid) {}
    void setExecutable(const path& value) override { executable = value; }
    void setArguments(const std::vector<std::string>& values) override { arguments = values; }
    void setProcessName(const std::string&) override {}
    void setCurrentDirectory(const path&) override {}
    void setEnvironment(const Environment& values) override { environment = values; }
    void setStandardOutput(std::shared_ptr<FileHandle> handle) override { output = handle; }
    void setStandardError(std::shared_ptr<FileHandle> handle) override { error = handle; }
    void setTerminationHandler(Block block) override { handler = std::move(block); }
    bool launch() override
    {
        fake.record("launch " + executable.string());
        return running = fake.launchesSucceed;
    }
    bool isRunning() const override { return running; }
    void terminate() override { fake.record("terminate " + std::to_string(pid)); }
    void waitUntilExit() override { fake.record("wait"); }
    int processIdentifier() const override { return pid; }
    // The child ends: its handler runs at once, as the platform's waiter would run it.
    void exit()
    {
        running = false;
        if (handler) {
            handler();
        }
    }

    FakePlatform& fake;
    const int pid;
    path executable;
    std::vector<std::string> arguments;
    Environment environment;
    std::shared_ptr<FileHandle> output, error;
    Block handler;
    bool running = false;
};

struct FakeMenuItem : MenuItem {
    FakeMenuItem(FakePlatform& fake, const std::string& title, Block action, const std::string& key)
        : fake(fake), asMade(title + " " + key), title(title), action(std::move(action))
    {
    }
    void setTitle(const std::string& value) override { fake.record("title:" + (title = value)); }
    void setEnabled(bool value) override { enabled = value; }
    void setState(ControlState s) override { fake.record(s == ControlState::on ? "state:on" : "state:off"); }

    FakePlatform& fake;
    const std::string asMade; // the title it was made with, and its key equivalent
    std::string title;
    Block action;
    bool enabled = true;
};

inline std::string healthBody(bool midiReady, long pairedClients)
{
    return std::string(R"({"version":"1.0","midiReady":)") + (midiReady ? "true" : "false") +
           R"(,"midiPort":"Tovra","pairedClients":)" + std::to_string(pairedClients) + "}";
}

// A delegate on a fresh fake platform.
class DelegateTest : public ::testing::Test {
protected:
    void launch() { delegate->applicationDidFinishLaunching(); }
    void choose(const std::string& title) { fake.choose(title); }
    void bridgeExits()
    {
        fake.tasks.back()->exit();
        fake.runPending();
    }
    // The newest request (of those for the health, with `health`) is answered, and the main queue runs.
    void answerLast(const std::optional<std::string>& body, bool health = false)
    {
        auto request = fake.requests.rbegin();
        while (health && request != fake.requests.rend() && !request->url.ends_with("/health")) {
            ++request;
        }
        ASSERT_NE(request, fake.requests.rend()) << "no such request";
        fake.answer(static_cast<std::size_t>(fake.requests.rend() - request) - 1, body);
        fake.runPending();
    }
    void answerHealth(bool midiReady, long pairedClients)
    {
        answerLast(healthBody(midiReady, pairedClients), true);
    }

    FakePlatform fake;
    std::shared_ptr<TovraAppDelegate> delegate = std::make_shared<TovraAppDelegate>(fake.platform());
};

} // namespace tovra::testing
