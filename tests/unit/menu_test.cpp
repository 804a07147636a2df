#include "delegate_fixture.h"

namespace tovra::testing {
namespace {

using platform::ControlState;
using platform::LoginItemStatus;

class MenuTest : public DelegateTest {};

TEST_F(MenuTest, BuildsTheStatusItemWithIconAndToolTip)
{
    probe.buildMenu();
    ASSERT_EQ(fake.statusBar.items.size(), 1u);
    EXPECT_EQ(statusItem().length, -2.0);
    auto image = std::dynamic_pointer_cast<FakeImage>(button().image);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->name, "slider.vertical.3");
    EXPECT_EQ(fake.statusBar.imageDescriptions, std::vector<std::string>{"Tovra"});
    EXPECT_EQ(button().toolTip, "Tovra Automation");
    EXPECT_FALSE(button().tint.has_value()); // tinted only by the status line
    EXPECT_EQ(probe.statusItem(), fake.statusBar.items[0]);
}

TEST_F(MenuTest, HasTwelveEntriesWithExactTitlesKeysAndStates)
{
    probe.buildMenu();
    struct Expected {
        const char* title; // null for a separator
        const char* key;
        bool enabled;
        bool hasAction;
    };
    const std::vector<Expected> expected{
        {"Starting Tovra\xE2\x80\xA6", "", false, false},
        {nullptr, "", false, false},
        {"Set Up Phone\xE2\x80\xA6", "s", true, true},
        {"Copy Private Phone Link", "", true, true},
        {"Open Controller on This Mac", "", true, true},
        {nullptr, "", false, false},
        {"Start Tovra at Login", "", true, true},
        {"Restart Bridge", "", true, true},
        {"Reveal Log", "", true, true},
        {nullptr, "", false, false},
        {"Tovra 2.4.1", "", false, false},
        {"Quit Tovra for Now", "q", true, true},
    };
    const std::vector<std::shared_ptr<FakeMenuItem>>& entries = menu().entries;
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i + 1));
        if (!expected[i].title) {
            EXPECT_FALSE(entries[i]);
            continue;
        }
        ASSERT_TRUE(entries[i]);
        EXPECT_EQ(entries[i]->title, expected[i].title);
        EXPECT_EQ(entries[i]->keyEquivalent, expected[i].key);
        EXPECT_EQ(entries[i]->enabled, expected[i].enabled);
        EXPECT_EQ(static_cast<bool>(entries[i]->action), expected[i].hasAction);
    }
    EXPECT_EQ(probe.statusMenuItem(), entries[0]);
    EXPECT_EQ(probe.launchAtLoginItem(), entries[6]);
}

TEST_F(MenuTest, EachEntryCallsExactlyOneCommand)
{
    probe.buildMenu();
    const std::vector<std::shared_ptr<FakeMenuItem>> entries = menu().entries;
    const auto choose = [&](std::size_t index) {
        fake.log.clear();
        entries.at(index)->action();
        fake.mainQueue.runPending();
        return fake.log.events();
    };
    EXPECT_EQ(choose(2), std::vector<std::string>{"open:http://localhost:4173/setup"});
    choose(3);
    ASSERT_EQ(fake.urlSession.count(), 1u);
    choose(4);
    ASSERT_EQ(fake.urlSession.count(), 2u);
    EXPECT_EQ(choose(6), std::vector<std::string>{"login:register"});
    EXPECT_EQ(choose(8), std::vector<std::string>{"reveal"});
    choose(7);
    EXPECT_EQ(bridgeTasks().size(), 1u); // restart with nothing running launches at once
    EXPECT_EQ(choose(11), (std::vector<std::string>{"task:terminate", "app:terminate"}));
}

struct VersionCase {
    const char* label;
    platform::InfoValue value;
    const char* title;
};

class VersionEntryTest : public DelegateTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionEntryTest, ShowsTheVersionTextOrBeta)
{
    fake.bundle.info["CFBundleShortVersionString"] = GetParam().value;
    probe.buildMenu();
    EXPECT_EQ(menu().entries.at(10)->title, GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(
    Values, VersionEntryTest,
    ::testing::Values(VersionCase{"Text", std::string("2.4.1"), "Tovra 2.4.1"},
                      VersionCase{"Missing", std::monostate{}, "Tovra Beta"},
                      VersionCase{"Number", 2.0, "Tovra Beta"}, VersionCase{"Empty", std::string(), "Tovra "},
                      VersionCase{"KeptAsIs", std::string(" 1.0 beta "), "Tovra  1.0 beta "}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return info.param.label; });

struct LoginCheckCase {
    const char* label;
    LoginItemStatus status;
    ControlState state;
};

class LoginCheckMarkTest : public DelegateTest, public ::testing::WithParamInterface<LoginCheckCase> {};

TEST_P(LoginCheckMarkTest, FollowsTheLoginService)
{
    fake.loginService.current = GetParam().status;
    probe.buildMenu();
    EXPECT_EQ(menu().entries.at(6)->state, GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, LoginCheckMarkTest,
    ::testing::Values(LoginCheckCase{"NotRegistered", LoginItemStatus::notRegistered, ControlState::off},
                      LoginCheckCase{"Enabled", LoginItemStatus::enabled, ControlState::on},
                      LoginCheckCase{"RequiresApproval", LoginItemStatus::requiresApproval,
                                     ControlState::off},
                      LoginCheckCase{"NotFound", LoginItemStatus::notFound, ControlState::off}),
    [](const ::testing::TestParamInfo<LoginCheckCase>& info) { return info.param.label; });

TEST_F(MenuTest, ItemWithoutButtonOrSymbolStillGetsItsMenu)
{
    fake.statusBar.itemsHaveButtons = false;
    fake.statusBar.knownSymbols.clear();
    probe.buildMenu();
    ASSERT_TRUE(statusItem().menu);
    EXPECT_EQ(menu().entries.size(), 12u);
    probe.setBridgeStatus("Bridge stopped", true);
    EXPECT_EQ(statusLine().title, "Bridge stopped");
}

TEST_F(MenuTest, UnknownSymbolLeavesTheButtonWithoutAnImage)
{
    fake.statusBar.knownSymbols.clear();
    probe.buildMenu();
    EXPECT_TRUE(button().imageWasSet);
    EXPECT_FALSE(button().image);
    EXPECT_EQ(button().toolTip, "Tovra Automation");
}

} // namespace
} // namespace tovra::testing
