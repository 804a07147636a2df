#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/task.h"

namespace tovra::linuxos {

// A descriptor watched by the main thread's event loop; unwatched when destroyed.
class DescriptorWatch {
public:
    virtual ~DescriptorWatch() = default;
};

// Calls `readable` on the main thread each time the loop finds `descriptor` readable (end of file
// included), until the watch returned is destroyed, which `readable` itself may do.
using DescriptorWatches =
    std::function<std::unique_ptr<DescriptorWatch>(int descriptor, std::function<void()> readable)>;

// How children are started: the guard program, how long a tree that is asked to end has before
// it is killed, and the loop that learns of the guards' messages and ends.
struct TaskSupervision {
    std::filesystem::path guard;
    std::chrono::milliseconds grace;
    DescriptorWatches watches;
};

// A child started through a guard of its own (tovra-guard, beside the application), which is its
// parent and the child subreaper of its whole tree. The child gets exactly its arguments (its
// process name first), and the environment, working directory and streams 1 and 2 set here, else
// this process's; no other descriptor, no blocked signal and every signal at its default action.
// It leads a process group of its own.
//
// terminate() asks the guard, which sends SIGTERM to the child's group and to every orphan of its
// tree, and SIGKILL to whatever of it is left once the grace has passed. When the child ends on its
// own while orphans live on, they are ended the same way; and so is everything when this process is
// gone. The guard leaves once nothing of the tree is left; the main loop reaps it, also when its
// task has been let go of, through a pidfd, and learns of the child's start and end through a socket
// from it: no thread waits.
//
// The termination handler runs on the main thread, inside the loop's call or waitUntilExit(); it may
// let go of the task, even of its last reference.
class LinuxTask : public platform::Task {
public:
    struct Guards;
    explicit LinuxTask(std::shared_ptr<Guards> guards);
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
    // False when already launched, when a stream handle given is closed, or when the program or its
    // guard cannot be started (not found, not executable, working directory missing); a failed
    // launch leaves no process.
    bool launch() override;
    bool isRunning() const override;
    void terminate() override;
    // Returns once the child has ended and its termination handler, if any, has returned; at once
    // for a task that never started. Waits on the guard's own descriptors, not the loop.
    void waitUntilExit() override;
    // The guard's: the root of the child's tree, orphans included.
    int processIdentifier() const override;
    // The child's own; -1 before a successful launch.
    int childProcessIdentifier() const;

private:
    friend class LinuxTaskLauncher;
    struct State;

    std::filesystem::path executable_;
    std::string processName_;
    std::vector<std::string> arguments_;
    std::filesystem::path currentDirectory_;
    std::optional<platform::Environment> environment_;
    std::shared_ptr<platform::FileHandle> standardOutput_;
    std::shared_ptr<platform::FileHandle> standardError_;
    std::shared_ptr<Guards> guards_;
    std::shared_ptr<State> state_;
};

// Destroying the launcher ends the tree of every guard still there, as this process's end would.
class LinuxTaskLauncher : public platform::TaskLauncher {
public:
    explicit LinuxTaskLauncher(TaskSupervision supervision);
    ~LinuxTaskLauncher() override;
    std::shared_ptr<platform::Task> makeTask() override;

private:
    std::shared_ptr<LinuxTask::Guards> guards_;
};

} // namespace tovra::linuxos
