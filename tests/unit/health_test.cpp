// The health answer's strict decoding and the one-second poll.
#include "health/health.h"
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

TEST(HealthTest, OnlyAnObjectWithAllFourKeysOfTheirOwnTypesDecodes)
{
    const std::string good = R"("version":"1","midiReady":true,"midiPort":"p")";
    const auto deep = [&](int depth) {
        return "{" + good + R"(,"pairedClients":0,"x":)" + std::string(depth, '[') + std::string(depth, ']') +
               "}";
    };
    // clang-format off
    const std::string undecodable[] = {"", "{" + good + R"(,"pairedClients":0} x)", "[]", "{" + good + "}",
        R"({"version":1,"midiReady":true,"midiPort":"p","pairedClients":0})",
        R"({"version":"1","midiReady":"true","midiPort":"p","pairedClients":0})",
        R"({"version":"1","midiReady":true,"midiPort":false,"pairedClients":0})",
        "{" + good + R"(,"pairedClients":"2"})", "{" + good + R"(,"pairedClients":2.5})",
        "{" + good + R"(,"pairedClients":9223372036854775808})",
        "{" + good + R"(,"pairedClients":9223372036854775808.0})",
        "{" + good + R"(,"pairedClients":-9223372036854775809})",
        "{\"version\":\"\xFF\",\"midiReady\":true,\"midiPort\":\"p\",\"pairedClients\":0}", deep(64)};
    const std::pair<const char*, std::int64_t> counts[] = {{"1.0", 1}, {"-1", -1},
        {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}};
    // clang-format on
    for (const std::string& body : undecodable) {
        EXPECT_FALSE(decodeHealth(body)) << body.substr(0, 80);
    }
    for (const auto& [text, count] : counts) {
        const auto health =
            decodeHealth("{" + good + R"(,"pairedClients":)" + text + R"(,"extra":{"a":[1]}})");
        EXPECT_TRUE(health && health->pairedClients == count && health->version == "1" &&
                    health->midiPort == "p")
            << text;
    }
    EXPECT_TRUE(decodeHealth(deep(63)));
    EXPECT_TRUE(decodeHealth(R"({"version":"\"[[)" + std::string(70, '[') +
                             R"(","midiReady":true,"midiPort":"","pairedClients":0})"));
}

TEST_F(DelegateTest, PollsAtOnceThenEverySecondWhileABridgeRuns)
{
    launch();
    fake.advance(0.999);
    EXPECT_EQ(fake.requests.size(), 1u);
    fake.advance(3.001); // unanswered requests hold up nothing
    ASSERT_EQ(fake.requests.size(), 5u);
    EXPECT_DOUBLE_EQ(fake.requests[4].timeoutInterval, 0.7);
    EXPECT_EQ(fake.requests[4].serverProcess, 100);
    bridgeExits();
    fake.advance(1.5); // no bridge: nobody to ask
    EXPECT_EQ(fake.requests.size(), 5u);
    fake.advance(2);
    EXPECT_EQ(fake.requests.back().serverProcess, 101);
}

TEST_F(DelegateTest, ReadinessTextsFollowTheAnswers)
{
    launch();
    for (const auto& [midi, phones] : {std::pair{true, 0L}, {true, 1L}, {false, 5L}}) {
        answerHealth(midi, phones);
    }
    EXPECT_EQ(fake.only({"title:", "tint:"}),
              (History{"title:Starting bridge\u2026", "tint:grey", "title:Ready \u00B7 0 phones",
                       "tint:green", "title:Ready \u00B7 1 phone", "tint:green",
                       "title:MIDI unavailable \u00B7 restart", "tint:grey"}));
}

TEST_F(DelegateTest, NoAnswerATimeOutOrABodyThatDoesNotDecodeChangesNothing)
{
    fake.defaultsStick = false; // a step of readiness back to false would open the page again
    launch();
    answerHealth(true, 1);
    const History shown = fake.only({"title:", "tint:", "tooltip:", "open:"});
    ASSERT_EQ(shown.back(), "open:http://localhost:4173/setup");
    for (const std::optional<std::string>& body :
         {std::optional<std::string>(), std::optional<std::string>("{}")}) {
        fake.advance(1);
        answerLast(body);
    }
    fake.advance(5); // asked and never answered
    answerHealth(true, 1);
    History expected = shown; // the next answer that decodes sets the same line again, and opens nothing
    expected.insert(expected.end(), {"title:Ready \u00B7 1 phone", "tint:green",
                                     "tooltip:Tovra Automation \u00B7 Ready \u00B7 1 phone"});
    EXPECT_EQ(fake.only({"title:", "tint:", "tooltip:", "open:"}), expected);
}

TEST_F(DelegateTest, TheFirstAnswerEverOpensTheSetupPageAfterStoringTheFlag)
{
    fake.defaultsStick = false; // settings that cannot be stored still open it once a bridge run
    launch();
    for (int second = 0; second < 3; ++second) {
        answerHealth(false, 0); // MIDI unavailable still counts as an answer
        fake.advance(1);
    }
    bridgeExits();
    fake.advance(2);
    answerHealth(true, 0);
    fake.defaultsStick = true;
    for (int run = 0; run < 2; ++run) { // later runs of the program
        delegate = std::make_shared<TovraAppDelegate>(fake.platform());
        launch();
        answerHealth(true, 0);
    }
    const History once{"defaults:TovraDidOpenSetupV1=true", "open:http://localhost:4173/setup"};
    EXPECT_EQ(fake.only({"defaults:", "open:"}),
              (History{once[0], once[1], once[0], once[1], once[0], once[1]}));
}

} // namespace
} // namespace tovra::testing
