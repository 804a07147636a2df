// Start-up, the status line, quit and termination, the notice of a missing tray.
#include <gmock/gmock.h>

#include <thread>

#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

const std::string kTip = "tooltip:Tovra Automation \u00B7 ";

TEST_F(DelegateTest, StartUpRunsEachStepToItsEndInOrder)
{
    writeFile(fake.home / "Library/LaunchAgents/com.tovra.automation.plist", "<plist/>");
    launch();
    EXPECT_EQ(
        fake.history(),
        (History{"accessory", "status item -2", "symbol slider.vertical.3 Tovra", "image",
                 "tooltip:Tovra Automation", "state:off", "menu attached", "launch /bin/launchctl", "wait",
                 "register", "state:on", "launch " + (*fake.resources / "runtime/node-arm64").string(),
                 "title:Starting bridge\u2026", "tint:grey", kTip + "Starting bridge\u2026"}));
    // The poll starts last, with one request at once, to our own bridge only.
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0].url, "http://localhost:4173/health");
    EXPECT_EQ(fake.requests()[0].serverProcess, fake.lastTask()->processIdentifier());
}

TEST_F(DelegateTest, StatusLineTintsGreenOnlyWhenReady)
{
    launch();
    answerLatest(healthBody(true, 1));
    bridgeExits();
    EXPECT_EQ(fake.only("t"), (History{"tooltip:Tovra Automation", "title:Starting bridge\u2026", "tint:grey",
                                       kTip + "Starting bridge\u2026", "title:Ready \u00B7 1 phone",
                                       "tint:green", kTip + "Ready \u00B7 1 phone", "title:Bridge stopped",
                                       "tint:grey", kTip + "Bridge stopped"}));
}

TEST_F(DelegateTest, WithoutAButtonTheMenuStillWorks)
{
    fake.hasButton = false;
    launch();
    EXPECT_EQ(fake.only("t"), History{"title:Starting bridge\u2026"});
}

TEST_F(DelegateTest, QuitStopsTheBridgeOnceAndItsEndIsNotObserved)
{
    launch();
    choose("Quit Tovra for Now");
    delegate->applicationWillTerminate();
    fake.lastTask()->exit();
    fake.queue.advance(10);
    EXPECT_EQ(fake.only("terminate"), (History{"terminate 100", "terminate 100"}));
    EXPECT_EQ(fake.only("quit"), History{"quit"});
    EXPECT_EQ(fake.only("title:"), History{"title:Starting bridge\u2026"});
    EXPECT_EQ(fake.only("log:"), History{"log:close"});
    EXPECT_EQ(fake.requests().size(), 1u) << "the poll went on after termination";
}

TEST_F(DelegateTest, QuitWithAnExitQueuedStartsNothing)
{
    launch();
    fake.lastTask()->exit(); // its end is queued, not yet seen
    choose("Quit Tovra for Now");
    delegate->applicationWillTerminate();
    fake.queue.advance(5);
    EXPECT_EQ(fake.tasks.size(), 1u);
}

TEST_F(DelegateTest, CallbacksDoNothingOnceTheDelegateIsGone)
{
    launch();
    delegate.reset();
    fake.lastTask()->exit();
    fake.answer(0, healthBody(true, 0));
    fake.queue.advance(20);
    EXPECT_EQ(fake.tasks.size(), 1u);
    EXPECT_EQ(fake.requests().size(), 1u);
    EXPECT_TRUE(fake.only("open:").empty());
    EXPECT_TRUE(fake.only("notify:").empty());
}

// Under ThreadSanitizer this catches a callback that touches the delegate off the main thread.
TEST_F(DelegateTest, AnswersAndExitsFromOtherThreadsTakeEffectOnTheMainQueue)
{
    launch();
    fake.queue.advance(3);
    choose("Copy Private Phone Link");
    const std::size_t requests = fake.requests().size();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i + 1 < requests; ++i) {
        threads.emplace_back([this, i] { fake.answer(i, healthBody(true, static_cast<long>(i))); });
    }
    threads.emplace_back([this, requests] { fake.answer(requests - 1, R"({"phoneURL":"http://a/"})"); });
    threads.emplace_back([this] { fake.lastTask()->exit(); });
    for (int round = 0; round < 100; ++round) {
        fake.queue.runPending();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    fake.queue.runPending();
    EXPECT_EQ(fake.only("copy:"), History{"copy:http://a/"});
    EXPECT_THAT(fake.only("title:"), ::testing::Contains("title:Bridge stopped"));
}

} // namespace
} // namespace tovra::testing
