#include "app/status_texts.h"
#include "delegate_fixture.h"
#include "health/health.h"

namespace tovra::testing {
namespace {

struct BodyCase {
    const char* label;
    const char* body;
};

class UndecodableHealthTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(UndecodableHealthTest, CountsAsNoAnswer)
{
    EXPECT_FALSE(decodeHealth(GetParam().body).has_value()) << GetParam().body;
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, UndecodableHealthTest,
    ::testing::Values(
        BodyCase{"Empty", ""}, BodyCase{"NotJson", "ok"}, BodyCase{"Truncated", R"({"version":"1")"},
        BodyCase{"TrailingGarbage", R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":0} x)"},
        BodyCase{"Array", "[]"}, BodyCase{"String", R"("ok")"}, BodyCase{"Number", "1"},
        BodyCase{"Null", "null"},
        BodyCase{"VersionMissing", R"({"midiReady":true,"midiPort":"p","pairedClients":0})"},
        BodyCase{"MidiReadyMissing", R"({"version":"1","midiPort":"p","pairedClients":0})"},
        BodyCase{"MidiPortMissing", R"({"version":"1","midiReady":true,"pairedClients":0})"},
        BodyCase{"PairedClientsMissing", R"({"version":"1","midiReady":true,"midiPort":"p"})"},
        BodyCase{"VersionNull", R"({"version":null,"midiReady":true,"midiPort":"p","pairedClients":0})"},
        BodyCase{"MidiReadyNull", R"({"version":"1","midiReady":null,"midiPort":"p","pairedClients":0})"},
        BodyCase{"MidiPortNull", R"({"version":"1","midiReady":true,"midiPort":null,"pairedClients":0})"},
        BodyCase{"PairedClientsNull",
                 R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":null})"},
        BodyCase{"VersionNumber", R"({"version":1,"midiReady":true,"midiPort":"p","pairedClients":0})"},
        BodyCase{"MidiReadyOne", R"({"version":"1","midiReady":1,"midiPort":"p","pairedClients":0})"},
        BodyCase{"MidiReadyString", R"({"version":"1","midiReady":"true","midiPort":"p","pairedClients":0})"},
        BodyCase{"MidiPortBoolean", R"({"version":"1","midiReady":true,"midiPort":false,"pairedClients":0})"},
        BodyCase{"PairedClientsString",
                 R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":"2"})"},
        BodyCase{"PairedClientsBoolean",
                 R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":true})"},
        BodyCase{"PairedClientsFraction",
                 R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":2.5})"},
        BodyCase{"PairedClientsAboveRange",
                 R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":9223372036854775808})"},
        BodyCase{"PairedClientsBelowRange",
                 R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":-9223372036854775809})"},
        BodyCase{"PairedClientsHuge",
                 R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":1e300})"},
        BodyCase{"KeysInAnotherCase", R"({"Version":"1","midireadY":true,"midiport":"p","PairedClients":0})"},
        BodyCase{"InvalidUtf8",
                 "{\"version\":\"\xFF\",\"midiReady\":true,\"midiPort\":\"p\",\"pairedClients\":0}"}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return info.param.label; });

struct CountCase {
    const char* label;
    const char* pairedClients;
    std::int64_t value;
    const char* readyText;
};

class DecodableHealthTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(DecodableHealthTest, DecodesTheCountAndNamesIt)
{
    const std::string body =
        std::string(R"({"version":"2.0","midiReady":true,"midiPort":"IAC Bus 1","pairedClients":)") +
        GetParam().pairedClients + "}";
    const std::optional<Health> health = decodeHealth(body);
    ASSERT_TRUE(health.has_value());
    EXPECT_EQ(health->version, "2.0");
    EXPECT_TRUE(health->midiReady);
    EXPECT_EQ(health->midiPort, "IAC Bus 1");
    EXPECT_EQ(health->pairedClients, GetParam().value);
    EXPECT_EQ(healthStatusText(*health), GetParam().readyText);
}

INSTANTIATE_TEST_SUITE_P(Counts, DecodableHealthTest,
                         ::testing::Values(CountCase{"Zero", "0", 0, "Ready \u00B7 0 phones"},
                                           CountCase{"One", "1", 1, "Ready \u00B7 1 phone"},
                                           CountCase{"Two", "2", 2, "Ready \u00B7 2 phones"},
                                           CountCase{"MinusOne", "-1", -1, "Ready \u00B7 -1 phones"},
                                           CountCase{"OneWrittenAsFloat", "1.0", 1, "Ready \u00B7 1 phone"},
                                           CountCase{"Exponent", "2e3", 2000, "Ready \u00B7 2000 phones"},
                                           CountCase{"Largest", "9223372036854775807", INT64_MAX,
                                                     "Ready \u00B7 9223372036854775807 phones"},
                                           CountCase{"Smallest", "-9223372036854775808", INT64_MIN,
                                                     "Ready \u00B7 -9223372036854775808 phones"}),
                         [](const ::testing::TestParamInfo<CountCase>& info) { return info.param.label; });

TEST(HealthTest, ExtraKeysAreIgnored)
{
    const auto health = decodeHealth(
        R"({"pairedClients":3,"extra":{"a":[1,2]},"midiPort":"","midiReady":false,"version":"x","Version":7})");
    ASSERT_TRUE(health.has_value());
    EXPECT_EQ(health->pairedClients, 3);
    EXPECT_EQ(healthStatusText(*health), "MIDI unavailable \xC2\xB7 restart");
}

class HealthPollTest : public DelegateTest {
protected:
    void SetUp() override
    {
        probe.buildMenu();
        fake.log.clear();
    }
    static std::string body(bool midiReady, int pairedClients)
    {
        return std::string(R"({"version":"1.0.0","midiReady":)") + (midiReady ? "true" : "false") +
               R"(,"midiPort":"Tovra","pairedClients":)" + std::to_string(pairedClients) + "}";
    }
    // Answers the newest request from the session's thread, then lets the main queue run.
    void answerLatest(std::optional<std::string> answer)
    {
        fake.urlSession.complete(fake.urlSession.count() - 1, std::move(answer));
        fake.mainQueue.runPending();
    }
};

TEST_F(HealthPollTest, PollsAtOnceThenEverySecondWhateverTheBridgeDoes)
{
    probe.startHealthChecks();
    ASSERT_EQ(fake.urlSession.count(), 1u);
    const platform::URLRequest request = fake.urlSession.sent()[0].request;
    EXPECT_EQ(request.url, "http://localhost:4173/health");
    EXPECT_EQ(request.cachePolicy, platform::CachePolicy::reloadIgnoringLocalCacheData);
    EXPECT_DOUBLE_EQ(request.timeoutInterval, 0.7);

    fake.mainQueue.advance(0.999);
    EXPECT_EQ(fake.urlSession.count(), 1u);
    fake.mainQueue.advance(0.001);
    EXPECT_EQ(fake.urlSession.count(), 2u);
    // Unanswered requests do not hold up the next ones.
    fake.mainQueue.advance(3.0);
    EXPECT_EQ(fake.urlSession.count(), 5u);

    // Starting again replaces the timer; two never run side by side.
    probe.startHealthChecks();
    EXPECT_EQ(fake.mainQueue.activeTimers(), 1u);
    fake.mainQueue.advance(1.0);
    EXPECT_EQ(fake.urlSession.count(), 7u);
}

TEST_F(HealthPollTest, ReadyAnswerSetsStatusThenFlagThenOpensTheSetupPageOnce)
{
    probe.startHealthChecks();
    answerLatest(body(true, 0));

    EXPECT_TRUE(probe.bridgeReady());
    EXPECT_EQ(
        fake.log.events(),
        (std::vector<std::string>{"title:Ready \u00B7 0 phones", "tint:green",
                                  "tooltip:Tovra Automation \u00B7 Ready \u00B7 0 phones",
                                  "defaults:TovraDidOpenSetupV1=true", "open:http://localhost:4173/setup"}));

    fake.mainQueue.advance(1.0);
    answerLatest(body(true, 1));
    EXPECT_EQ(statusLine().title, "Ready \u00B7 1 phone");
    EXPECT_EQ(fake.workspace.openedURLs.size(), 1u);
}

TEST_F(HealthPollTest, MidiUnavailableStillCountsAsReadyForTheFirstRun)
{
    probe.startHealthChecks();
    answerLatest(body(false, 5));
    EXPECT_TRUE(probe.bridgeReady());
    EXPECT_EQ(statusLine().title, "MIDI unavailable \u00B7 restart");
    EXPECT_EQ(button().tint, platform::TintColor::secondaryLabel);
    EXPECT_EQ(fake.workspace.openedURLs, std::vector<std::string>{"http://localhost:4173/setup"});
}

TEST_F(HealthPollTest, SetupPageNeverOpensWhenTheFlagIsAlreadySet)
{
    fake.userDefaults.values["TovraDidOpenSetupV1"] = true;
    probe.startHealthChecks();
    answerLatest(body(true, 0));
    EXPECT_TRUE(fake.workspace.openedURLs.empty());
}

TEST_F(HealthPollTest, BridgeRelaunchDoesNotOpenTheSetupPageAgain)
{
    probe.startBridge();
    probe.startHealthChecks();
    answerLatest(body(true, 0));
    currentTask()->exit();
    fake.mainQueue.runPending();
    EXPECT_FALSE(probe.bridgeReady());
    fake.mainQueue.advance(2.0);
    answerLatest(body(true, 0));
    EXPECT_TRUE(probe.bridgeReady());
    EXPECT_EQ(fake.workspace.openedURLs.size(), 1u);
}

TEST_F(HealthPollTest, NoAnswerOrABadBodyChangesNothing)
{
    probe.startHealthChecks();
    probe.setBridgeStatus("Ready \u00B7 1 phone", true);
    fake.log.clear();

    answerLatest(std::nullopt);
    answerLatest(R"({"version":"1","midiReady":"true","midiPort":"p","pairedClients":0})");
    answerLatest(std::string(R"(<html>500 Internal Server Error</html>)"));
    EXPECT_TRUE(fake.log.events().empty());
    EXPECT_FALSE(probe.bridgeReady());
    EXPECT_EQ(button().tint, platform::TintColor::systemGreen);
}

TEST_F(HealthPollTest, AnswersOverlappingAreAppliedWholeInArrivalOrder)
{
    probe.startHealthChecks();
    fake.mainQueue.advance(1.0);
    fake.urlSession.complete(1, body(true, 2));
    fake.urlSession.complete(0, body(true, 1));
    fake.mainQueue.runPending();
    EXPECT_EQ(statusTitles(), (std::vector<std::string>{"Ready \u00B7 2 phones", "Ready \u00B7 1 phone"}));
    EXPECT_EQ(fake.workspace.openedURLs.size(), 1u);
}

TEST_F(HealthPollTest, AnswerIsAppliedOnlyWhenTheMainQueueRuns)
{
    probe.startHealthChecks();
    fake.urlSession.complete(0, body(true, 0));
    EXPECT_FALSE(probe.bridgeReady());
    EXPECT_EQ(fake.mainQueue.postedCount(), 1u);
    fake.mainQueue.runPending();
    EXPECT_TRUE(probe.bridgeReady());
}

} // namespace
} // namespace tovra::testing
