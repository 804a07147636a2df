#include "unit/fake_platform.h"

#include <algorithm>

#include "app/status_texts.h"

namespace tovra::testing {

FakePlatform::FakePlatform()
{
    writeFile(*resources / "runtime/node-arm64", "#!/bin/sh\n");
    std::filesystem::permissions(*resources / "runtime/node-arm64", std::filesystem::perms::owner_all);
    writeFile(*resources / "app/server.js", "// the server\n");
    std::filesystem::create_directories(home);
}

Platform FakePlatform::platform()
{
    // A Mac's words.
    return {
        *this, *this, *this, *this, *this, *this,
        *this, *this, *this, *this, *this, *this,
        *this, *this, *this, *this, *this, Words{texts::kOpenControllerOnMac, texts::kAlertInformativeOnMac}};
}

History FakePlatform::only(std::initializer_list<std::string_view> prefixes) const
{
    History found;
    std::copy_if(history.begin(), history.end(), std::back_inserter(found), [&](const std::string& event) {
        return std::any_of(prefixes.begin(), prefixes.end(),
                           [&](auto prefix) { return event.starts_with(prefix); });
    });
    return found;
}

void FakePlatform::choose(const std::string& title)
{
    const auto item =
        std::find_if(menu.begin(), menu.end(), [&](auto& entry) { return entry && entry->title == title; });
    ASSERT_NE(item, menu.end()) << title;
    (*item)->action();
    runPending();
}

std::unique_ptr<Timer> FakePlatform::scheduledTimer(double interval, Block tick)
{
    struct Stoppable : Timer {
        std::shared_ptr<bool> valid = std::make_shared<bool>(true);
        ~Stoppable() override { invalidate(); }
        void invalidate() override { *valid = false; }
    };
    auto timer = std::make_unique<Stoppable>();
    due.push_back({clock + interval, interval, std::move(tick), timer->valid});
    return timer;
}

void FakePlatform::runPending()
{
    while (!posted.empty()) {
        const Block block = std::move(posted.front());
        posted.pop_front();
        block();
    }
}

void FakePlatform::advance(double seconds)
{
    // The tolerance keeps sums of decimal steps (0.1 + 0.2 ...) from missing a deadline.
    const double target = clock + seconds + 1e-9;
    for (runPending();; runPending()) {
        std::erase_if(due, [](const Due& item) { return !*item.valid; });
        // The earliest; of equal ones, the first scheduled.
        const auto next =
            std::min_element(due.begin(), due.end(), [](auto& a, auto& b) { return a.at < b.at - 1e-9; });
        if (next == due.end() || next->at > target) {
            break;
        }
        clock = std::max(clock, next->at);
        const Block run = next->run;
        next->interval > 0 ? void(next->at += next->interval) : void(due.erase(next));
        run();
    }
    clock = target - 1e-9;
}

std::chrono::system_clock::time_point FakePlatform::now()
{
    using namespace std::chrono;
    return sys_days{year{2026} / 12 / 5} + hours{3} + minutes{48} + seconds{30} +
           duration_cast<system_clock::duration>(duration<double>(clock));
}

std::shared_ptr<FileHandle> FakePlatform::fileHandleForWriting(const path& file)
{
    // Appends to the real file, and records its close.
    struct Handle : FileHandle {
        Handle(FakePlatform& fake, path file) : fake(fake), file(std::move(file)) {}
        bool seekToEnd() override { return true; }
        bool write(std::string_view bytes) override
        {
            return bool(std::ofstream(file, std::ios::app) << bytes);
        }
        bool close() override
        {
            fake.record("log:close");
            return true;
        }
        int fileDescriptor() const override { return -1; }
        FakePlatform& fake;
        path file;
    };
    return is_regular_file(file, ignored) ? std::make_shared<Handle>(*this, file) : nullptr;
}

std::shared_ptr<Task> FakePlatform::makeTask()
{
    return tasks.emplace_back(std::make_shared<FakeTask>(*this, 100 + static_cast<int>(tasks.size())));
}

std::shared_ptr<MenuItem> FakePlatform::makeMenuItem(const std::string& title, Block action,
                                                     const std::string& key)
{
    return std::make_shared<FakeMenuItem>(*this, title, std::move(action), key);
}

int FakePlatform::runModal(const AlertContent& alert)
{
    std::string shown = alert.style == AlertStyle::critical ? "alert:critical " : "alert:";
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

} // namespace tovra::testing
