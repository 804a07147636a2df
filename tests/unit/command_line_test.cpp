// The command line: what each argument asks for, what it prints, and its exit status; and the
// running instance's answers to the requests a start of the program sends it.
#include <sstream>

#include "app/command_line.h"
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

using From = ControlReply::From;

ControlReply answered(bool ok, const std::string& text)
{
    return {From::instance, {ok, text}};
}

TEST(CommandLine, EachOptionAloneAndNothingElse)
{
    using enum Invocation;
    // clang-format off
    const std::pair<std::vector<std::string_view>, Invocation> cases[] = {
        {{}, run}, {{"--login"}, runFromLogin}, {{"-h"}, help}, {{"--help"}, help}, {{"-v"}, version},
        {{"--version"}, version}, {{"--status"}, status}, {{"--phone-link"}, phoneLink}, {{"--quit"}, quit},
        {{"--status", "--quit"}, misuse}, {{"--Status"}, misuse}, {{""}, misuse}, {{"-platform"}, misuse}};
    // clang-format on
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(readCommandLine(arguments), expected) << (arguments.empty() ? "(none)" : arguments[0]);
    }
}

TEST(CommandLine, AMisuseNamesWhatItDidNotUnderstand)
{
    const std::pair<std::vector<std::string_view>, std::string> cases[] = {
        {{"--Status"}, "tovra-bridge: unknown option \u2018--Status\u2019\n"},
        {{"--status", "--bogus"}, "tovra-bridge: unknown option \u2018--bogus\u2019\n"},
        {{"--status", "--quit"}, "tovra-bridge: one option at a time, not also \u2018--quit\u2019\n"},
        {{"--quit"}, ""}};
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(misuseNote(arguments), expected);
    }
}

TEST(CommandLine, PrintsOrAsksAndSaysHowItWentInItsStatus)
{
    using enum Invocation;
    const std::string noAnswer = "tovra-bridge: the running Tovra Bridge did not answer\n";
    struct Case {
        Invocation invocation;
        ControlReply reply;
        int status;
        std::string out, err, asked;
    };
    // clang-format off
    const Case cases[] = {
        {misuse, answered(true, "x"), 2, "",
         "note\nUsage: tovra-bridge [--login|-h|--help|-v|--version|--status|--phone-link|--quit]\n", ""},
        {quit, answered(true, ""), 0, "", "", "quit"},
        {phoneLink, answered(false, "no link: why"), 1, "", "tovra-bridge: no link: why\n", "phone-link"},
        {phoneLink, answered(false, ""), 1, "", noAnswer, "phone-link"},
        {quit, {From::silent, {true, "never read"}}, 1, "", noAnswer, "quit"}}; // held but silent: not "not running"
    // clang-format on
    for (const Case& c : cases) {
        std::ostringstream out, err;
        std::string asked;
        const auto ask = [&](const std::string& request) {
            asked += request;
            return c.reply;
        };
        const int status = answerCommandLine(c.invocation, "1.2.3", ask, out, err, "note\n");
        EXPECT_EQ(std::make_tuple(status, out.str(), err.str(), asked),
                  std::make_tuple(c.status, c.out, c.err, c.asked));
    }
    std::ostringstream out, err;
    EXPECT_EQ(answerCommandLine(help, "1", {}, out, err), 0) << "nobody is asked";
    EXPECT_TRUE(out.str().starts_with("Usage: tovra-bridge [OPTION]\n") && err.str().empty());
}

TEST(CommandLine, ASecondStartSaysWhenTheRunningInstanceDoesNotAnswer)
{
    // clang-format off
    const std::tuple<ControlReply, int, std::string, std::string> cases[] = {
        {answered(true, ""), 0, "", ""},
        {answered(false, "unknown request"), 0, "", ""}, // it answered: it runs and listens
        {{From::silent, {}}, 1, "tovra-bridge: the running Tovra Bridge did not answer\n",
         "Not answering | It runs but does not answer. Try again."},
        {{}, 0, "", "Already running | Only one copy runs for each user."}}; // gone since the claim found it held
    // clang-format on
    for (const auto& [reply, expected, expectedErr, notice] : cases) {
        std::ostringstream err;
        std::string notices;
        const int status =
            answerSecondStart(reply, err, [&](const std::string& summary, const std::string& body) {
                notices += summary + " | " + body;
            });
        EXPECT_EQ(std::tie(status, notices), std::tie(expected, notice));
        EXPECT_EQ(err.str(), expectedErr);
    }
}

// Status and quit of a running bridge are seen end to end.
TEST_F(DelegateTest, ShowAndAnUnknownRequestAreAnsweredAndQuitSaysNothingOfABridgeThatHasEnded)
{
    launch();
    bridgeExits();
    for (const char* request : {"show", "status\n", "quit"}) {
        fake.ask(request);
    }
    EXPECT_EQ(fake.answers, (History{"ok:", "no:unknown request", "ok:"}));
    EXPECT_EQ(std::count(fake.history.begin(), fake.history.end(), "window"), 1);
    EXPECT_EQ(fake.only({"terminate", "quit"}), History{"quit"});
}

// The command line is told truly why there is no link: the program decides which reason applies.
// (A link of any size is seen end to end.)
TEST_F(DelegateTest, APhoneLinkOrTheTrueReasonWhyThereIsNone)
{
    launch();
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {R"({"phoneURL":"http://192.0.2.1:4173/controller?token=t"})",
         "ok:http://192.0.2.1:4173/controller?token=t"},
        {std::nullopt, "no:no phone link: the bridge is not answering yet"},
        {"<html>", "no:no phone link: the bridge\u2019s answer holds no link"},
        {R"({"phoneURL":"javascript:x"})",
         "no:no phone link: the bridge\u2019s link is not a web address Tovra opens"}};
    for (const auto& [body, expected] : cases) {
        fake.answers.clear();
        fake.ask("phone-link");
        answerLast(body);
        EXPECT_EQ(fake.answers, History{expected}) << body.value_or("(none)").substr(0, 40);
    }
    EXPECT_EQ(fake.only({"clear", "copy:"}), History{}) << "a link for the command line is never copied";
}

// The notice of a start without a tray, and its action, are seen end to end.
TEST_F(DelegateTest, WithoutABridgeThereIsNoLink)
{
    fake.launchesSucceed = false;
    launch();
    fake.ask("phone-link");
    EXPECT_EQ(fake.answers, History{"no:no phone link: the bridge is not running"});
}

} // namespace
} // namespace tovra::testing
