#pragma once

#include <memory>

namespace tovra::platform {

// What the application object calls on its delegate, always on the main thread.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // Once, after the event loop has started.
    virtual void applicationDidFinishLaunching() = 0;
    // Exactly once, after the event loop has ended and before the process exits.
    virtual void applicationWillTerminate() = 0;
};

// accessory: no window of its own, no taskbar entry; closing a dialog does not quit.
enum class ActivationPolicy { accessory };

// The shared application object.
class Application {
public:
    virtual ~Application() = default;
    // The delegate is held weakly; whoever owns it keeps it alive.
    virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
    // Runs the event loop until terminate(); returns the process's exit status.
    virtual int run() = 0;
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // Brings the application to the front, before a modal alert.
    virtual void activateIgnoringOtherApps() = 0;
    // Asks the event loop to end; returns at once. applicationWillTerminate follows.
    virtual void terminate() = 0;
};

} // namespace tovra::platform
