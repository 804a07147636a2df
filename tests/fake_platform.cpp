#include "fake_platform.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

namespace tovra::testing {

// --- Main queue on the virtual clock -----------------------------------------------------

class FakeMainQueue::FakeTimer : public platform::Timer {
public:
    explicit FakeTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    ~FakeTimer() override { invalidate(); }
    void invalidate() override { state_->valid = false; }

private:
    std::shared_ptr<TimerState> state_;
};

void FakeMainQueue::async(std::function<void()> block)
{
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(block));
}

void FakeMainQueue::asyncAfter(double delaySeconds, std::shared_ptr<platform::WorkItem> item)
{
    scheduled_.push_back({now_ + delaySeconds, order_++, std::move(item)});
}

std::unique_ptr<platform::Timer> FakeMainQueue::scheduledTimer(double intervalSeconds,
                                                               std::function<void()> tick)
{
    auto state = std::make_shared<TimerState>(
        TimerState{intervalSeconds, now_ + intervalSeconds, order_++, std::move(tick)});
    timers_.push_back(state);
    return std::make_unique<FakeTimer>(state);
}

void FakeMainQueue::runPending()
{
    for (;;) {
        std::function<void()> block;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) {
                return;
            }
            block = std::move(posted_.front());
            posted_.pop_front();
        }
        block();
    }
}

void FakeMainQueue::advance(double seconds)
{
    // A small tolerance keeps sums of decimal steps (0.1 + 0.2 ...) from missing a deadline.
    constexpr double kEpsilon = 1e-9;
    const double target = now_ + seconds;
    runPending();
    for (;;) {
        std::erase_if(timers_, [](const auto& timer) { return !timer->valid; });
        std::erase_if(scheduled_, [](const Scheduled& entry) { return entry.item->isCancelled(); });

        // The earliest event due by the target; ties go to whichever was scheduled first.
        bool found = false;
        double due = 0;
        std::uint64_t order = 0;
        std::shared_ptr<TimerState> timer;
        std::size_t scheduledIndex = 0;
        const auto earlier = [&](double time, std::uint64_t rank) {
            if (time > target + kEpsilon) {
                return false;
            }
            return !found || time < due - kEpsilon || (time <= due + kEpsilon && rank < order);
        };
        for (std::size_t i = 0; i < scheduled_.size(); ++i) {
            if (earlier(scheduled_[i].deadline, scheduled_[i].order)) {
                found = true;
                due = scheduled_[i].deadline;
                order = scheduled_[i].order;
                scheduledIndex = i;
            }
        }
        for (const auto& candidate : timers_) {
            if (earlier(candidate->nextFire, candidate->order)) {
                found = true;
                due = candidate->nextFire;
                order = candidate->order;
                timer = candidate;
            }
        }
        if (!found) {
            break;
        }
        now_ = std::max(now_, due);
        if (timer) {
            timer->nextFire += timer->interval;
            timer->order = order_++;
            timer->tick();
        } else {
            const std::shared_ptr<platform::WorkItem> item = scheduled_[scheduledIndex].item;
            scheduled_.erase(scheduled_.begin() + static_cast<std::ptrdiff_t>(scheduledIndex));
            item->perform();
        }
        runPending();
    }
    now_ = target;
    runPending();
}

std::size_t FakeMainQueue::postedCount() const
{
    std::lock_guard lock(mutex_);
    return posted_.size();
}

std::size_t FakeMainQueue::pendingWorkItems() const
{
    return static_cast<std::size_t>(
        std::count_if(scheduled_.begin(), scheduled_.end(),
                      [](const Scheduled& entry) { return !entry.item->isCancelled(); }));
}

std::size_t FakeMainQueue::activeTimers() const
{
    return static_cast<std::size_t>(
        std::count_if(timers_.begin(), timers_.end(), [](const auto& timer) { return timer->valid; }));
}

std::chrono::system_clock::time_point FakeClock::now()
{
    return start + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                       std::chrono::duration<double>(queue_.now()));
}

// --- Files ----------------------------------------------------------------------------------

FakeFileHandle::FakeFileHandle(std::filesystem::path filePath, EventLog& log)
    : path(std::move(filePath)), log_(log)
{
    // Opens for writing without creating or truncating, positioned at the start.
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) {
        file_ = std::fopen(path.c_str(), "r+b");
    }
}

FakeFileHandle::~FakeFileHandle()
{
    if (file_) {
        std::fclose(file_);
    }
}

bool FakeFileHandle::seekToEnd()
{
    if (!file_) {
        return false;
    }
    return std::fseek(file_, 0, SEEK_END) == 0;
}

bool FakeFileHandle::write(std::string_view bytes)
{
    log_.add("log:write");
    if (!file_) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    return std::fflush(file_) == 0 && written;
}

bool FakeFileHandle::close()
{
    log_.add("log:close");
    if (!file_) {
        return false;
    }
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    closed_ = true;
    return closed;
}

bool FakeFileManager::isExecutableFile(const std::filesystem::path& path)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    using std::filesystem::perms;
    return std::filesystem::is_regular_file(status) &&
           (status.permissions() & (perms::owner_exec | perms::group_exec | perms::others_exec)) !=
               perms::none;
}

bool FakeFileManager::createDirectory(const std::filesystem::path& path)
{
    createdDirectories.push_back(path);
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error && std::filesystem::is_directory(path, error);
}

bool FakeFileManager::createFile(const std::filesystem::path& path)
{
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        return false;
    }
    std::ofstream file(path, std::ios::binary);
    return static_cast<bool>(file);
}

std::shared_ptr<platform::FileHandle> FakeFileManager::fileHandleForWriting(const std::filesystem::path& path)
{
    auto handle = std::make_shared<FakeFileHandle>(path, log_);
    if (!handle->isOpen()) {
        return nullptr;
    }
    openedHandles.push_back(handle);
    return handle;
}

// --- Tasks ----------------------------------------------------------------------------------

void FakeTask::setTerminationHandler(std::function<void()> handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

bool FakeTask::hasTerminationHandler() const
{
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
}

bool FakeTask::launch()
{
    launched = true;
    running_ = true;
    launcher_.log.add("task:launch " + executable.string());
    const bool succeeded = launcher_.onLaunch ? launcher_.onLaunch(*this) : true;
    if (!succeeded) {
        launched = false;
        running_ = false;
    }
    return succeeded;
}

void FakeTask::terminate()
{
    ++terminateRequests;
    launcher_.log.add("task:terminate");
}

void FakeTask::waitUntilExit()
{
    ++waits;
    launcher_.log.add("task:wait");
}

void FakeTask::exit()
{
    running_ = false;
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (handler) {
        handler();
    }
}

std::shared_ptr<platform::Task> FakeTaskLauncher::makeTask()
{
    auto task = std::make_shared<FakeTask>(*this);
    tasks.push_back(task);
    return task;
}

std::vector<std::shared_ptr<FakeTask>> FakeTaskLauncher::launchedTasks() const
{
    std::vector<std::shared_ptr<FakeTask>> launched;
    std::copy_if(tasks.begin(), tasks.end(), std::back_inserter(launched),
                 [](const auto& task) { return task->launched; });
    return launched;
}

std::size_t FakeTaskLauncher::runningCount() const
{
    return static_cast<std::size_t>(
        std::count_if(tasks.begin(), tasks.end(), [](const auto& task) { return task->isRunning(); }));
}

// --- Everything else --------------------------------------------------------------------------

platform::InfoValue FakeBundle::infoValue(std::string_view key)
{
    const auto found = info.find(key);
    return found == info.end() ? platform::InfoValue{} : found->second;
}

std::shared_ptr<platform::StatusItem> FakeStatusBar::statusItem(double length)
{
    auto item = std::make_shared<FakeStatusItem>(itemsHaveButtons, log_);
    item->length = length;
    items.push_back(item);
    return item;
}

std::shared_ptr<platform::Image> FakeStatusBar::systemSymbolImage(const std::string& name,
                                                                  const std::string& accessibilityDescription)
{
    imageDescriptions.push_back(accessibilityDescription);
    if (!knownSymbols.contains(name)) {
        return nullptr;
    }
    return std::make_shared<FakeImage>(name);
}

std::shared_ptr<platform::MenuItem> FakeStatusBar::makeMenuItem(const std::string& title,
                                                                std::function<void()> action,
                                                                const std::string& keyEquivalent)
{
    return std::make_shared<FakeMenuItem>(title, std::move(action), keyEquivalent, log_);
}

void FakeURLSession::dataTask(const platform::URLRequest& request, platform::DataCompletion completion)
{
    std::lock_guard lock(mutex_);
    sent_.push_back({request, std::move(completion)});
}

void FakeURLSession::complete(std::size_t index, std::optional<std::string> body)
{
    platform::DataCompletion completion;
    {
        std::lock_guard lock(mutex_);
        completion = sent_.at(index).completion;
    }
    completion(std::move(body));
}

std::vector<FakeURLSession::Sent> FakeURLSession::sent() const
{
    std::lock_guard lock(mutex_);
    return sent_;
}

std::size_t FakeURLSession::count() const
{
    std::lock_guard lock(mutex_);
    return sent_.size();
}

// --- The whole platform -----------------------------------------------------------------------

namespace {

std::filesystem::path makeTemporaryRoot()
{
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() /
        ("tovra-unit-" + std::to_string(random()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(root);
    return root;
}

} // namespace

FakePlatform::FakePlatform() : root(makeTemporaryRoot())
{
    fileManager.home = root / "home";
    std::filesystem::create_directories(fileManager.home);
    bundle.resources = resources();
    writeFile(resources() / "runtime/node-arm64", "#!/bin/sh\n");
    std::filesystem::permissions(resources() / "runtime/node-arm64", std::filesystem::perms::owner_all);
    writeFile(resources() / "app/server.js", "// server\n");
    bundle.info["CFBundleShortVersionString"] = std::string("2.4.1");
}

FakePlatform::~FakePlatform()
{
    std::error_code error;
    std::filesystem::remove_all(root, error);
}

platform::Platform FakePlatform::platform()
{
    return platform::Platform{application, mainQueue,    clock,      fileManager, taskLauncher,
                              bundle,      processInfo,  statusBar,  alerts,      workspace,
                              pasteboard,  userDefaults, urlSession, loginService};
}

std::filesystem::path FakePlatform::logFile() const
{
    return home() / "Library/Logs/Tovra Bridge.log";
}

std::string FakePlatform::readLog() const
{
    return readFile(logFile());
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

void writeFile(const std::filesystem::path& path, std::string_view contents)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

} // namespace tovra::testing
