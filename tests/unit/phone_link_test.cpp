#include "delegate_fixture.h"
#include "menu/setup_info.h"

namespace tovra::testing {
namespace {

class PhoneLinkTest : public DelegateTest {
protected:
    void answer(std::size_t index, std::optional<std::string> body)
    {
        fake.urlSession.complete(index, std::move(body));
        fake.mainQueue.runPending();
    }
};

TEST_F(PhoneLinkTest, OpenSetupOpensThePageWhateverTheBridgeState)
{
    delegate->openSetup();
    EXPECT_EQ(fake.workspace.openedURLs, std::vector<std::string>{"http://localhost:4173/setup"});
    EXPECT_EQ(fake.urlSession.count(), 0u);
}

TEST_F(PhoneLinkTest, CopyPutsTheLinkExactlyAsReceivedAndOpensNothing)
{
    fake.pasteboard.contents = "previous";
    delegate->copyPrivatePhoneLink();
    ASSERT_EQ(fake.urlSession.count(), 1u);
    const platform::URLRequest request = fake.urlSession.sent()[0].request;
    EXPECT_EQ(request.url, "http://localhost:4173/api/setup");
    EXPECT_EQ(request.cachePolicy, platform::CachePolicy::reloadIgnoringLocalCacheData);
    EXPECT_DOUBLE_EQ(request.timeoutInterval, 1.5);
    EXPECT_EQ(fake.pasteboard.contents, "previous"); // nothing until the answer

    // JSON escapes are resolved; nothing a URL parser might normalise is changed.
    answer(0, R"({"other":1,"phoneURL":"HTTP://Example.COM:80/a\/b/../c?x=%7e#t=\u0041"})");
    EXPECT_EQ(fake.pasteboard.contents, "HTTP://Example.COM:80/a/b/../c?x=%7e#t=A");
    EXPECT_EQ(eventsWithPrefix("pasteboard:"),
              (std::vector<std::string>{"clear", "set HTTP://Example.COM:80/a/b/../c?x=%7e#t=A"}));
    EXPECT_TRUE(fake.workspace.openedURLs.empty());
}

TEST_F(PhoneLinkTest, OpenControllerOpensTheLinkAndLeavesThePasteboard)
{
    fake.pasteboard.contents = "previous";
    delegate->openController();
    answer(0, R"({"phoneURL":"http://192.168.1.20:4173/controller#token=abc"})");
    EXPECT_EQ(fake.workspace.openedURLs,
              std::vector<std::string>{"http://192.168.1.20:4173/controller#token=abc"});
    EXPECT_EQ(fake.pasteboard.contents, "previous");
    EXPECT_TRUE(eventsWithPrefix("pasteboard:").empty());
}

TEST_F(PhoneLinkTest, UnusableAnswersDoNothingForCopyAndOpenAlike)
{
    const std::vector<std::optional<std::string>> answers{
        std::nullopt,
        std::string(),
        std::string("not json"),
        std::string(R"(["http://a/"])"),
        std::string(R"({})"),
        std::string(R"({"phoneURL":null})"),
        std::string(R"({"phoneURL":42})"),
        std::string(R"({"PhoneURL":"http://a/"})"),
        std::string(R"({"phoneURL":""})"),
        std::string(R"({"phoneURL":"not a url"})"),
        std::string(R"({"phoneURL":"/relative/path"})"),
    };
    fake.pasteboard.contents = "previous";
    std::size_t index = 0;
    for (const auto& body : answers) {
        delegate->copyPrivatePhoneLink();
        answer(index++, body);
        delegate->openController();
        answer(index++, body);
    }
    EXPECT_EQ(fake.pasteboard.contents, "previous");
    EXPECT_TRUE(fake.workspace.openedURLs.empty());
    EXPECT_TRUE(eventsWithPrefix("pasteboard:").empty());
}

TEST_F(PhoneLinkTest, LastJobToRunDecidesThePasteboard)
{
    delegate->copyPrivatePhoneLink();
    delegate->copyPrivatePhoneLink();
    ASSERT_EQ(fake.urlSession.count(), 2u);
    fake.urlSession.complete(1, R"({"phoneURL":"http://second/"})");
    fake.urlSession.complete(0, R"({"phoneURL":"http://first/"})");
    fake.mainQueue.runPending();
    EXPECT_EQ(fake.pasteboard.contents, "http://first/");
}

TEST_F(PhoneLinkTest, LinkAskedForIsDeliveredEvenAfterTheDelegateIsGone)
{
    delegate->copyPrivatePhoneLink();
    delegate.reset();
    answer(0, R"({"phoneURL":"http://a/"})");
    EXPECT_EQ(fake.pasteboard.contents, "http://a/");
}

struct UrlCase {
    const char* text;
    bool valid;
};

TEST(UrlRuleTest, AcceptsAbsoluteURIsOnly)
{
    const std::vector<UrlCase> cases{
        {"http://localhost:4173/controller#token=abc-_.~", true},
        {"https://[::1]:4173/x?y=1&z=%20", true},
        {"tovra+phone://pair", true},
        {"mailto:", true},
        {"", false},
        {":no-scheme", false},
        {"1http://a", false},
        {"http://a b", false},
        {"http://a/\"quoted\"", false},
        {"http://a/<b>", false},
        {"http://a/%", false},
        {"http://a/%4", false},
        {"http://a/%zz", false},
        {"http://caf\xC3\xA9/", false},
        {"http://a/\n", false},
        {"no colon at all", false},
    };
    for (const UrlCase& c : cases) {
        EXPECT_EQ(isValidURL(c.text), c.valid) << '"' << c.text << '"';
    }
}

} // namespace
} // namespace tovra::testing
