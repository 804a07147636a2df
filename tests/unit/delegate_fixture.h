#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/tovra_app_delegate.h"
#include "delegate_probe.h"
#include "fake_platform.h"

namespace tovra::testing {

// A delegate on a fresh fake platform.
class DelegateTest : public ::testing::Test {
protected:
    FakePlatform fake;
    std::shared_ptr<TovraAppDelegate> delegate = std::make_shared<TovraAppDelegate>(fake.platform());
    TovraAppDelegateProbe probe{*delegate};

    FakeStatusItem& statusItem() { return *fake.statusBar.items.at(0); }
    FakeStatusBarButton& button() { return *statusItem().fakeButton(); }
    FakeMenu& menu() { return *statusItem().menu; }
    FakeMenuItem& statusLine() { return *menu().entries.at(0); }

    // Every status line title set since the menu was built, in order.
    std::vector<std::string> statusTitles() const { return eventsWithPrefix("title:"); }

    std::vector<std::string> eventsWithPrefix(const std::string& prefix) const
    {
        std::vector<std::string> found;
        for (const std::string& event : fake.log.events()) {
            if (event.rfind(prefix, 0) == 0) {
                found.push_back(event.substr(prefix.size()));
            }
        }
        return found;
    }

    // The bridge tasks launched so far (the legacy tool excluded).
    std::vector<std::shared_ptr<FakeTask>> bridgeTasks() const
    {
        std::vector<std::shared_ptr<FakeTask>> tasks;
        for (const auto& task : fake.taskLauncher.launchedTasks()) {
            if (task->executable.filename() == "node-arm64") {
                tasks.push_back(task);
            }
        }
        return tasks;
    }

    std::shared_ptr<FakeTask> currentTask() const
    {
        return std::dynamic_pointer_cast<FakeTask>(probe.bridgeProcess());
    }

    // Builds the menu and starts the bridge, the way start-up does, without the health poll.
    void startWithMenu()
    {
        probe.buildMenu();
        probe.startBridge();
        fake.mainQueue.runPending();
    }
};

} // namespace tovra::testing
