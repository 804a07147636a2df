// The window's content: what each status means and the command it offers first, and the private
// phone link it shows as a code to scan.
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

const std::string kNoLink = "The code to scan appears here once the bridge is ready.";

TEST(WindowTest, EachStatusHasItsSentenceAndItsFirstCommand)
{
    using Drive = std::function<void(FakePlatform&)>;
    const auto health = [](bool midi, long phones) {
        return [=](FakePlatform& fake) {
            fake.answer(0, healthBody(midi, phones));
            fake.runPending();
        };
    };
    // Starting, no phone and stopped are in the start-up's history and the link's test.
    // clang-format off
    const std::tuple<std::string, Drive, std::string> cases[] = {
        {"one phone", health(true, 1),
         "Ready. Play from your paired phone, or scan the code to pair another one. | Copy Private Phone Link | "},
        {"MIDI", health(false, 3),
         "The bridge runs, but its MIDI output is not open. Restart the bridge to try again. | Restart Bridge | "},
        {"launch failed", [](FakePlatform& fake) { fake.tasks.back()->exit(); fake.launchesSucceed = false; fake.advance(2); },
         "The bridge could not be started. Its log says why. | Reveal Log | "},
        {"files missing", [](FakePlatform& fake) { fake.tasks.back()->exit(); fake.resources.reset(); fake.advance(2); },
         "Tovra\u2019s bridge files are incomplete. Move Tovra to Trash and download it again. |  | "}};
    // clang-format on
    for (const auto& [name, drive, expected] : cases) {
        FakePlatform fake;
        const auto delegate = std::make_shared<TovraAppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        drive(fake);
        EXPECT_EQ(fake.only("window content:").back(), "window content:" + expected + kNoLink) << name;
    }
}

TEST_F(DelegateTest, TheLinkGoesToTheWindowOnceReadyAndEachTimeItComesUpButNotPastTheBridgesEnd)
{
    const std::string waiting =
        "window content:Ready to pair. Scan the code with your phone\u2019s camera, or "
        "choose Set Up Phone\u2026 | Set Up Phone\u2026 | ";
    const std::string link = "http://192.168.1.5:4173/controller?token=";
    launch();
    fake.ask("show"); // not ready: nobody to ask
    EXPECT_EQ(fake.requests.size(), 1u);
    answerHealth(true, 0);
    ASSERT_EQ(fake.requests.size(), 2u);
    EXPECT_EQ(fake.requests[1].url, "http://localhost:4173/api/setup");
    EXPECT_EQ(fake.requests[1].serverProcess, 100);
    answerLast(R"({"phoneURL":")" + link + R"(one"})");
    answerHealth(true, 0); // the same status: the link stays
    fake.ask("show");
    answerLast(R"({"phoneURL":")" + link + R"(two"})");
    fake.ask("show");
    answerLast(std::nullopt); // no answer: the link shown stays
    fake.ask("show");
    const std::size_t late = fake.requests.size() - 1;
    bridgeExits();
    fake.answer(late, R"({"phoneURL":")" + link + R"(late"})");
    fake.runPending();
    EXPECT_EQ(fake.only("window content:Ready"),
              (History{waiting + kNoLink, waiting + link + "one", waiting + link + "two"}));
    EXPECT_EQ(fake.only("window content:").back(),
              "window content:The bridge stopped. Tovra starts it again in a moment. | Restart Bridge | " +
                  kNoLink);
    EXPECT_EQ(fake.only({"clear", "copy:", "open:"}), History{"open:http://localhost:4173/setup"})
        << "the window's link is neither copied nor opened";
}

} // namespace
} // namespace tovra::testing
