#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tovra::platform {

class FileHandle;

using Environment = std::map<std::string, std::string>;

// A child process. Configure it, then launch it once.
class Task {
public:
    virtual ~Task() = default;
    virtual void setExecutable(const std::filesystem::path& executable) = 0;
    // The arguments after the program name, exactly as given.
    virtual void setArguments(const std::vector<std::string>& arguments) = 0;
    // The name the child is listed by (its argv[0]); the executable's path when not set.
    virtual void setProcessName(const std::string& name) = 0;
    virtual void setCurrentDirectory(const std::filesystem::path& directory) = 0;
    // The child's whole environment. Unset: the child inherits this process's.
    virtual void setEnvironment(const Environment& environment) = 0;
    // Unset or none: the child inherits this process's stream.
    virtual void setStandardOutput(std::shared_ptr<FileHandle> handle) = 0;
    virtual void setStandardError(std::shared_ptr<FileHandle> handle) = 0;
    // Called once, on the main thread, after the child has ended (what it started may still be
    // ending). An empty function removes the handler; it is then not called.
    virtual void setTerminationHandler(std::function<void()> handler) = 0;
    // True once the child runs; false when it cannot be started.
    virtual bool launch() = 0;
    // True from a successful launch until the child has ended.
    virtual bool isRunning() const = 0;
    // Asks a running child to end (SIGTERM), and with it what it started, and returns at once.
    // Nothing for an ended child.
    virtual void terminate() = 0;
    // Blocks until the child has ended; returns at once for a task that never started.
    virtual void waitUntilExit() = 0;
    // From a successful launch on, the ID of the process at the root of the child's tree: the child,
    // or a process of the platform's above it, below which everything the child started stays;
    // -1 before. Stale once it has ended.
    virtual int processIdentifier() const = 0;
};

class TaskLauncher {
public:
    virtual ~TaskLauncher() = default;
    virtual std::shared_ptr<Task> makeTask() = 0;
};

} // namespace tovra::platform
