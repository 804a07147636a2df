#include "unit/fake_platform.h"

#include <algorithm>

namespace tovra::testing {

std::unique_ptr<platform::Timer> FakeMainQueue::scheduledTimer(double interval, std::function<void()> tick)
{
    struct Timer : platform::Timer {
        std::shared_ptr<bool> valid = std::make_shared<bool>(true);
        ~Timer() override { invalidate(); }
        void invalidate() override { *valid = false; }
    };
    auto timer = std::make_unique<Timer>();
    due_.push_back({now + interval, interval, std::move(tick), timer->valid});
    return timer;
}

void FakeMainQueue::runPending()
{
    for (std::unique_lock lock(mutex_); !posted_.empty(); lock.lock()) {
        const std::function<void()> block = std::move(posted_.front());
        posted_.pop_front();
        lock.unlock();
        block();
    }
}

void FakeMainQueue::advance(double seconds)
{
    // The tolerance keeps sums of decimal steps (0.1 + 0.2 ...) from missing a deadline.
    const double target = now + seconds + 1e-9;
    for (runPending();; runPending()) {
        std::erase_if(due_, [](const Due& due) { return !*due.valid; });
        // The earliest; of equal ones, the first scheduled.
        const auto next = std::min_element(due_.begin(), due_.end(),
                                           [](const Due& a, const Due& b) { return a.at < b.at - 1e-9; });
        if (next == due_.end() || next->at > target) {
            break;
        }
        now = std::max(now, next->at);
        const std::function<void()> run = next->run;
        next->interval > 0 ? void(next->at += next->interval) : void(due_.erase(next));
        run();
    }
    now = target - 1e-9;
}

void FakeTask::exit()
{
    running_ = false;
    std::unique_lock lock(mutex_);
    const std::function<void()> handler = handler_;
    lock.unlock();
    if (handler) {
        handler();
    }
}

FakePlatform::FakePlatform()
{
    writeFile(*resources / "runtime/node-arm64", "#!/bin/sh\n");
    std::filesystem::permissions(*resources / "runtime/node-arm64", std::filesystem::perms::owner_all);
    writeFile(*resources / "app/server.js", "// the server\n");
    std::filesystem::create_directories(home);
}

void FakePlatform::record(std::string event)
{
    std::lock_guard lock(mutex_);
    history_.push_back(std::move(event));
}

History FakePlatform::history()
{
    std::lock_guard lock(mutex_);
    return history_;
}

History FakePlatform::only(std::initializer_list<const char*> prefixes)
{
    History found = history();
    std::erase_if(found, [&](const std::string& event) {
        return std::none_of(prefixes.begin(), prefixes.end(),
                            [&](const char* prefix) { return event.starts_with(prefix); });
    });
    return found;
}

void FakePlatform::answer(std::size_t index, std::optional<std::string> body)
{
    std::unique_lock lock(mutex_);
    const platform::DataCompletion completion = sent_.at(index).second;
    lock.unlock();
    completion(std::move(body));
}

std::vector<platform::URLRequest> FakePlatform::requests()
{
    std::lock_guard lock(mutex_);
    std::vector<platform::URLRequest> requests;
    for (const auto& sent : sent_) {
        requests.push_back(sent.first);
    }
    return requests;
}

std::chrono::system_clock::time_point FakePlatform::now()
{
    using namespace std::chrono;
    return sys_days{year{2026} / 12 / 5} + hours{3} + minutes{48} + seconds{30} +
           duration_cast<system_clock::duration>(duration<double>(queue.now));
}

bool FakePlatform::isExecutableFile(const path& file)
{
    const auto status = std::filesystem::status(file, ignored);
    return is_regular_file(status) &&
           (status.permissions() & std::filesystem::perms::owner_exec) != std::filesystem::perms::none;
}

bool FakePlatform::createFile(const path& file)
{
    return !exists(std::filesystem::symlink_status(file, ignored)) && std::ofstream(file);
}

std::shared_ptr<platform::FileHandle> FakePlatform::fileHandleForWriting(const path& file)
{
    // Appends to the real file, and records its close.
    struct Handle : platform::FileHandle {
        Handle(FakePlatform& fake, path file) : fake(fake), file(std::move(file)) {}
        bool seekToEnd() override { return true; }
        bool write(std::string_view bytes) override
        {
            return bool(std::ofstream(file, std::ios::app) << bytes);
        }
        bool close() override { return fake.record("log:close"), true; }
        int fileDescriptor() const override { return -1; }
        FakePlatform& fake;
        path file;
    };
    return is_regular_file(file, ignored) ? std::make_shared<Handle>(*this, file) : nullptr;
}

std::shared_ptr<platform::MenuItem>
FakePlatform::makeMenuItem(const std::string& title, std::function<void()> action, const std::string& /*key*/)
{
    return std::make_shared<FakeMenuItem>(*this, title, std::move(action));
}

std::shared_ptr<platform::Task> FakePlatform::makeTask()
{
    return tasks.emplace_back(std::make_shared<FakeTask>(*this, 100 + static_cast<int>(tasks.size())));
}

std::shared_ptr<platform::StatusItem> FakePlatform::statusItem(double length)
{
    record("status item " + std::to_string(static_cast<int>(length)));
    return {std::shared_ptr<void>(), this};
}

std::shared_ptr<platform::Image> FakePlatform::systemSymbolImage(const std::string& name,
                                                                 const std::string& text)
{
    record("symbol " + name + " " + text);
    return std::make_shared<platform::Image>();
}

void FakePlatform::addItem(std::shared_ptr<platform::MenuItem> item)
{
    menu.push_back(std::dynamic_pointer_cast<FakeMenuItem>(item));
}

int FakePlatform::runModal(const platform::AlertContent& alert)
{
    std::string shown = alert.style == platform::AlertStyle::critical ? "alert:critical " : "alert:";
    shown += alert.messageText + " | " + alert.informativeText;
    for (const std::string& button : alert.buttons) {
        shown += " [" + button + "]";
    }
    record(shown);
    if (whileAlertShown) {
        whileAlertShown();
    }
    return 0;
}

void FakePlatform::setBool(const std::string& key, bool value)
{
    record("defaults:" + key + "=" + (value ? "true" : "false"));
    defaults[key] = value && defaultsStick;
}

void FakePlatform::dataTask(const platform::URLRequest& request, platform::DataCompletion completion)
{
    std::lock_guard lock(mutex_);
    sent_.emplace_back(request, std::move(completion));
}

bool FakePlatform::changeLogin(const char* call, LoginItemStatus after)
{
    record(call);
    loginStatus = loginCallsSucceed ? after : loginStatus;
    return loginCallsSucceed;
}

void DelegateTest::choose(const std::string& title)
{
    const auto item = std::find_if(fake.menu.begin(), fake.menu.end(),
                                   [&](const auto& entry) { return entry && entry->title == title; });
    ASSERT_NE(item, fake.menu.end()) << title;
    (*item)->action();
    fake.queue.runPending();
}

std::string healthBody(bool midiReady, long pairedClients)
{
    return std::string(R"({"version":"1.0","midiReady":)") + (midiReady ? "true" : "false") +
           R"(,"midiPort":"Tovra","pairedClients":)" + std::to_string(pairedClients) + "}";
}

} // namespace tovra::testing
