#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/task.h"

namespace tovra::linuxos {

// A child started with posix_spawn and watched by a detached waiter thread of its own. The child
// gets exactly its arguments (the executable as given first), and the environment, working
// directory and streams 1 and 2 set here, else this process's; no other descriptor, no blocked
// signal and every signal at its default action. It leads a process group of its own.
//
// terminate() sends one SIGTERM to that group, and to every process that left it but carries the
// child's environment signature (a daemon it started), so nothing the child started keeps what it
// held. A ChildGuard does the same when this process dies without destroying the task (killed,
// crashed). The child's end, or the task's destruction, dismisses the guard.
//
// The termination handler runs on the waiter thread with the handler lock held, so it must
// be short (post to a queue) and must not call back into its task; letting go of the task,
// even its last reference, is fine. The task may be destroyed while the child still runs:
// the waiter then still reaps the child, but calls no handler.
class LinuxTask : public platform::Task {
public:
    LinuxTask();
    ~LinuxTask() override;
    LinuxTask(const LinuxTask&) = delete;
    LinuxTask& operator=(const LinuxTask&) = delete;

    void setExecutable(const std::filesystem::path& executable) override;
    void setArguments(const std::vector<std::string>& arguments) override;
    void setProcessName(const std::string& name) override { processName_ = name; }
    void setCurrentDirectory(const std::filesystem::path& directory) override;
    void setEnvironment(const platform::Environment& environment) override;
    void setStandardOutput(std::shared_ptr<platform::FileHandle> handle) override;
    void setStandardError(std::shared_ptr<platform::FileHandle> handle) override;
    void setTerminationHandler(std::function<void()> handler) override;
    // False when already launched, when a stream handle given is closed, or when the program
    // cannot be started (not found, not executable, working directory missing); a failed launch
    // leaves no child.
    bool launch() override;
    bool isRunning() const override;
    void terminate() override;
    // Returns once the child has been reaped and its termination handler, if any, has
    // returned; at once for a task that never started.
    void waitUntilExit() override;

    int processIdentifier() const override;

private:
    struct State;
    static void waitForChild(std::shared_ptr<State> state, std::future<pid_t> spawned);

    std::filesystem::path executable_;
    std::string processName_;
    std::vector<std::string> arguments_;
    std::filesystem::path currentDirectory_;
    std::optional<platform::Environment> environment_;
    std::shared_ptr<platform::FileHandle> standardOutput_;
    std::shared_ptr<platform::FileHandle> standardError_;
    std::shared_ptr<State> state_;
};

class LinuxTaskLauncher : public platform::TaskLauncher {
public:
    std::shared_ptr<platform::Task> makeTask() override;
};

} // namespace tovra::linuxos
