// The command line: what each argument asks for, what it prints, and its exit status; and the
// running instance's answers to the requests a start of the program sends it.
#include <gmock/gmock.h>

#include <sstream>

#include "app/command_line.h"
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

TEST(CommandLine, EachOptionAloneAndNothingElse)
{
    using enum Invocation;
    // clang-format off
    const std::pair<std::vector<std::string_view>, Invocation> cases[] = {
        {{}, run}, {{"--login"}, runFromLogin}, {{"-h"}, help}, {{"--help"}, help}, {{"-v"}, version},
        {{"--version"}, version}, {{"--status"}, status}, {{"--phone-link"}, phoneLink}, {{"--quit"}, quit},
        {{"--status", "--quit"}, misuse}, {{"-hv"}, misuse}, {{"--Status"}, misuse}, {{"--status="}, misuse},
        {{""}, misuse}, {{"status"}, misuse}, {{"-platform"}, misuse}};
    // clang-format on
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(readCommandLine(arguments), expected) << (arguments.empty() ? "(none)" : arguments[0]);
    }
}

TEST(CommandLine, AMisuseNamesWhatItDidNotUnderstand)
{
    // clang-format off
    const std::pair<std::vector<std::string_view>, std::string> cases[] = {
        {{"--Status"}, "tovra-bridge: unknown option \u2018--Status\u2019\n"},
        {{"-hv"}, "tovra-bridge: unknown option \u2018-hv\u2019\n"},
        {{""}, "tovra-bridge: unknown option \u2018\u2019\n"},
        {{"--status", "--bogus"}, "tovra-bridge: unknown option \u2018--bogus\u2019\n"},
        {{"--status", "--quit"}, "tovra-bridge: one option at a time, not also \u2018--quit\u2019\n"},
        {{"--quit"}, ""}, {{}, ""}};
    // clang-format on
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(misuseNote(arguments), expected);
    }
    std::ostringstream out, err;
    EXPECT_EQ(answerCommandLine(Invocation::misuse, "1", {}, out, err, misuseNote({"--x"})), 2);
    EXPECT_EQ(err.str(),
              std::string("tovra-bridge: unknown option \u2018--x\u2019\n") +
                  "Usage: tovra-bridge [--login|-h|--help|-v|--version|--status|--phone-link|--quit]\n");
}

struct Printed {
    int status;
    std::string out, err;
    std::vector<std::string> asked;
};

Printed run(Invocation invocation, ControlReply reply)
{
    Printed result{};
    std::ostringstream out, err;
    result.status = answerCommandLine(
        invocation, "1.2.3",
        [&](const std::string& request) {
            result.asked.push_back(request);
            return reply;
        },
        out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

using From = ControlReply::From;

ControlReply answered(bool ok, const std::string& text)
{
    return {From::instance, {ok, text}};
}

TEST(CommandLine, PrintsOrAsksAndSaysHowItWentInItsStatus)
{
    const Printed help = run(Invocation::help, answered(true, "x"));
    EXPECT_EQ(std::tie(help.status, help.err), std::make_tuple(0, std::string()));
    EXPECT_THAT(help.out,
                ::testing::AllOf(::testing::StartsWith("Usage: tovra-bridge [OPTION]\n"),
                                 ::testing::HasSubstr("--phone-link"), ::testing::HasSubstr("Exit status")));
    const Printed version = run(Invocation::version, answered(true, "x"));
    EXPECT_EQ(std::tie(version.status, version.out, version.err),
              std::make_tuple(0, "tovra-bridge 1.2.3\n", ""));
    const Printed misuse = run(Invocation::misuse, answered(true, "x"));
    EXPECT_EQ(misuse.status, 2);
    EXPECT_EQ(misuse.out, "");
    EXPECT_THAT(misuse.err, ::testing::MatchesRegex("Usage: tovra-bridge [^\n]*\n"));
    for (const Printed& printed : {help, version, misuse}) {
        EXPECT_TRUE(printed.asked.empty()) << "only printing: nobody is asked";
    }

    const Printed status = run(Invocation::status, answered(true, "Ready \u00B7 1 phone"));
    EXPECT_EQ(std::tie(status.status, status.out, status.err),
              std::make_tuple(0, "Ready \u00B7 1 phone\n", ""));
    EXPECT_EQ(status.asked, std::vector<std::string>{"status"});
    const Printed quit = run(Invocation::quit, answered(true, ""));
    EXPECT_EQ(std::tie(quit.status, quit.out, quit.err, quit.asked),
              std::make_tuple(0, "", "", std::vector<std::string>{"quit"}));
    const Printed quitWithNotice = run(Invocation::quit, answered(true, "still running"));
    EXPECT_EQ(std::tie(quitWithNotice.status, quitWithNotice.out, quitWithNotice.err),
              std::make_tuple(0, "", "tovra-bridge: still running\n"))
        << "a notice, beside the errors";
    const Printed none = run(Invocation::phoneLink, answered(false, "no phone link: why"));
    EXPECT_EQ(std::tie(none.status, none.out, none.err),
              std::make_tuple(1, "", "tovra-bridge: no phone link: why\n"));
    EXPECT_EQ(none.asked, std::vector<std::string>{"phone-link"});
    const Printed empty = run(Invocation::phoneLink, answered(false, ""));
    EXPECT_EQ(std::tie(empty.status, empty.err),
              std::make_tuple(1, "tovra-bridge: the running Tovra Bridge did not answer\n"));
    // Held but silent (starting, stopped) is not "not running".
    const Printed silent = run(Invocation::quit, {From::silent, {true, "never read"}});
    EXPECT_EQ(std::tie(silent.status, silent.out, silent.err),
              std::make_tuple(1, "", "tovra-bridge: the running Tovra Bridge did not answer\n"));
    const Printed absent = run(Invocation::status, {});
    EXPECT_EQ(std::tie(absent.status, absent.out, absent.err),
              std::make_tuple(3, "", "tovra-bridge: Tovra Bridge is not running\n"));
}

TEST(CommandLine, ASecondStartSaysWhenTheRunningInstanceDoesNotAnswer)
{
    struct Case {
        ControlReply reply;
        int status;
        std::string err;
        std::vector<std::string> notices;
    };
    const Case cases[] = {
        {answered(true, ""), 0, "", {}},
        {answered(false, "unknown request"), 0, "", {}}, // it answered: it runs and listens
        {{From::silent, {}},
         1,
         "tovra-bridge: the running Tovra Bridge did not answer\n",
         {"Not answering | It runs but does not answer. Try again."}},
        // Gone since the claim found it held.
        {{}, 0, "", {"Already running | Only one copy runs for each user."}},
    };
    for (const Case& expected : cases) {
        std::ostringstream err;
        std::vector<std::string> notices;
        const int status =
            answerSecondStart(expected.reply, err, [&](const std::string& summary, const std::string& body) {
                notices.push_back(summary + " | " + body);
            });
        EXPECT_EQ(std::tie(status, notices), std::tie(expected.status, expected.notices))
            << static_cast<int>(expected.reply.from);
        EXPECT_EQ(err.str(), expected.err);
    }
}

TEST_F(DelegateTest, TheRunningInstanceAnswersStatusPhoneLinkShowAndQuit)
{
    launch();
    fake.ask("status");
    answerLatest(healthBody(true, 1));
    fake.ask("status");
    fake.ask("show");
    fake.ask("status\n");
    ASSERT_EQ(fake.answers.size(), 4u);
    EXPECT_EQ(std::tie(fake.answers[0].ok, fake.answers[0].text),
              std::make_tuple(true, "Starting bridge\u2026"));
    EXPECT_EQ(fake.answers[1].text, "Ready \u00B7 1 phone");
    EXPECT_EQ(std::tie(fake.answers[2].ok, fake.answers[2].text), std::make_tuple(true, ""));
    EXPECT_EQ(std::tie(fake.answers[3].ok, fake.answers[3].text), std::make_tuple(false, "unknown request"));
    EXPECT_EQ(std::count(fake.history.begin(), fake.history.end(), "window"), 1);

    // The link as the server sent it, given and not copied.
    fake.ask("phone-link");
    fake.answer(fake.requests().size() - 1, R"({"phoneURL":"https://[fd00::1]:4173/controller?token=abc"})");
    fake.runPending();
    ASSERT_EQ(fake.answers.size(), 5u);
    EXPECT_EQ(fake.requests().back().url, "http://localhost:4173/api/setup");
    EXPECT_EQ(std::tie(fake.answers[4].ok, fake.answers[4].text),
              std::make_tuple(true, "https://[fd00::1]:4173/controller?token=abc"));
    EXPECT_EQ(fake.only({"clear", "copy:", "open:"}), History{"open:http://localhost:4173/setup"})
        << "only the first answer's";

    fake.ask("quit"); // answered, then the menu's Quit
    EXPECT_EQ(fake.answers.size(), 6u);
    EXPECT_EQ(std::tie(fake.answers[5].ok, fake.answers[5].text),
              std::make_tuple(true,
                              "the bridge server was still running: it was asked to stop, and whatever is "
                              "left of it is ended within 5 s"));
    EXPECT_EQ(fake.only({"terminate", "quit"}), (History{"terminate 100", "quit"}));
    fake.advance(5);
    EXPECT_EQ(fake.only("launch"), History{"launch " + (*fake.resources / "runtime/node-arm64").string()});
}

TEST_F(DelegateTest, QuitSaysNothingOfABridgeThatHasEnded)
{
    launch();
    bridgeExits();
    fake.ask("quit");
    ASSERT_EQ(fake.answers.size(), 1u);
    EXPECT_EQ(std::tie(fake.answers[0].ok, fake.answers[0].text), std::make_tuple(true, ""));
    EXPECT_EQ(fake.only({"terminate", "quit"}), History{"quit"});
}

// The command line is told truly why there is no link: the program decides which reason applies.
TEST_F(DelegateTest, APhoneLinkOfAnySizeOrTheTrueReasonWhyThereIsNone)
{
    launch();
    const std::string longLink = "http://192.0.2.1:4173/controller?token=" + std::string(100000, 't');
    const std::pair<std::optional<std::string>, ControlAnswer> cases[] = {
        {R"({"phoneURL":")" + longLink + R"("})", {true, longLink}},
        {std::nullopt, {false, "no phone link: the bridge is not answering yet"}},
        {"<html>", {false, "no phone link: the bridge\u2019s answer holds no link"}},
        {R"({"phoneURL":7})", {false, "no phone link: the bridge\u2019s answer holds no link"}},
        {R"({"phoneURL":"javascript:x"})",
         {false, "no phone link: the bridge\u2019s link is not a web address Tovra opens"}},
        {R"({"phoneURL":""})",
         {false, "no phone link: the bridge\u2019s link is not a web address Tovra opens"}},
    };
    for (const auto& [body, expected] : cases) {
        fake.answers.clear();
        fake.ask("phone-link");
        fake.answer(fake.requests().size() - 1, body);
        fake.runPending();
        ASSERT_EQ(fake.answers.size(), 1u) << body.value_or("(none)");
        EXPECT_EQ(std::tie(fake.answers[0].ok, fake.answers[0].text), std::tie(expected.ok, expected.text))
            << body.value_or("(none)").substr(0, 40);
    }
    fake.tasks.back()->exit(); // in the relaunch gap there is no bridge to ask
    fake.runPending();
    fake.answers.clear();
    fake.ask("phone-link");
    ASSERT_EQ(fake.answers.size(), 1u);
    EXPECT_EQ(std::tie(fake.answers[0].ok, fake.answers[0].text),
              std::make_tuple(false, "no phone link: the bridge is not running"));
    EXPECT_EQ(fake.only({"clear", "copy:"}), History{}) << "a link for the command line is never copied";
}

TEST_F(DelegateTest, WithoutABridgeThereIsNoLinkAndWithoutATrayTheNoticeOpensTheWindow)
{
    fake.trayShown = false;
    fake.launchesSucceed = false;
    launch();
    fake.ask("phone-link");
    ASSERT_EQ(fake.answers.size(), 1u);
    EXPECT_EQ(std::tie(fake.answers[0].ok, fake.answers[0].text),
              std::make_tuple(false, "no phone link: the bridge is not running"));
    fake.advance(14.999);
    EXPECT_EQ(fake.only("notify:"), History{});
    EXPECT_EQ(std::count(fake.history.begin(), fake.history.end(), "window"), 0) << "never by itself";
    fake.advance(0.001);
    // A title and one short line, as a banner shows them whole; no path in it.
    EXPECT_EQ(
        fake.only("notify:"),
        History{"notify:Tovra Bridge is running | Show its window to pair a phone or quit. [Show Window]"});
    fake.notificationAction();
    EXPECT_EQ(std::count(fake.history.begin(), fake.history.end(), "window"), 1);
}

} // namespace
} // namespace tovra::testing
