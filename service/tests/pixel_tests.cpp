// What kind of open a pixel fetch is, from user agents as the sources cited in
// OpenRules.cpp give them, and what a message's opens add up to.
#include "pixel/OpenRules.h"

#include <gtest/gtest.h>

namespace quorvia {
namespace {

struct Seen
{
    std::string userAgent;
    bool fromSender;
    std::string kind;
    std::string rule;
};

TEST(OpenRules, ClassifiesRealUserAgents)
{
    const Seen cases[] = {
        {"Mozilla/5.0 (Windows NT 5.1; rv:11.0) Gecko Firefox/11.0 (via ggpht.com GoogleImageProxy)", false,
         "person", "gmail-image-proxy"},
        {"YahooMailProxy; https://help.yahoo.com/kb/yahoo-mail-proxy-SLN28749.html", false, "person",
         "yahoo-mail-proxy"},
        {"Mozilla/5.0", false, "prefetch", "apple-mpp"},
        {" Mozilla/5.0 ", false, "prefetch", "apple-mpp"},
        {"Mozilla/4.0 (compatible; ms-office; MSOffice 16)", false, "person", "outlook-desktop"},
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:128.0) Gecko/20100101 Thunderbird/128.0", false, "person",
         "thunderbird"},
        {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko)", false,
         "person", "apple-mail"},
        {"Mozilla/5.0 (iPhone; U; CPU iPhone OS 3_1_2 like Mac OS X; en-us) AppleWebKit/528.18 (KHTML, like Gecko) "
         "Mobile/7D11",
         false, "person", "apple-mail"},
        // Webmail in a browser, Outlook.com and Microsoft 365 on the web among them.
        {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 "
         "Safari/605.1.15",
         false, "person", "browser"},
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:91.0) Gecko/20100101 Firefox/91.0", false, "person",
         "browser"},
        {"Mozilla/5.0 (compatible; Barracuda Sentinel)", false, "scanner", "security-gateway"},
        {"Proofpoint URL Defense", false, "scanner", "security-gateway"}, // the source gives only the token
        {"python-requests/2.31.0", false, "scanner", "http-library"},
        {"curl/8.5.0", false, "scanner", "http-library"},
        {"Go-http-client/1.1", false, "scanner", "http-library"},
        {"Apache-HttpClient/4.5.13 (Java/17.0.8)", false, "scanner", "http-library"},
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "HeadlessChrome/143.0.7499.4 Safari/537.36",
         false, "scanner", "headless-browser"},
        {"", false, "scanner", "no-user-agent"},
        {"  ", false, "scanner", "no-user-agent"},
        {"SomeMailApp/3.2 (Android 14)", false, "person", "unrecognised"},
        {std::string(8192, '\xff'), false, "person", "unrecognised"},
        // The sender's own Outlook showing the sent copy comes before anything the user agent says.
        {"Mozilla/4.0 (compatible; ms-office; MSOffice 16)", true, "sender", "sender-address"},
        {"Mozilla/5.0", true, "sender", "sender-address"},
    };
    for (const Seen &c : cases) {
        const OpenKind got = ClassifyOpen({c.userAgent, "203.0.113.0/24", c.fromSender});
        EXPECT_EQ(got.kind, c.kind) << c.userAgent.substr(0, 100);
        EXPECT_EQ(got.rule, c.rule) << c.userAgent.substr(0, 100);
    }
}

Open At(int seconds, const char *kind)
{
    Open open;
    open.at = TimePoint(std::chrono::seconds(seconds));
    open.kind = kind;
    return open;
}

TEST(OpenRules, StatusAndFirstPersonOpen)
{
    struct Case
    {
        std::vector<Open> opens;
        std::string status;
        int firstPersonAt; // -1: none
    };
    const Case cases[] = {
        {{}, "unopened", -1},
        {{At(1, "scanner"), At(2, "sender")}, "unopened", -1},
        {{At(1, "prefetch"), At(2, "scanner")}, "maybe", -1},
        {{At(1, "prefetch"), At(5, "person"), At(3, "person")}, "opened", 3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(MessageStatus(c.opens), c.status);
        const Open *first = FirstPersonOpen(c.opens);
        if (c.firstPersonAt < 0) {
            EXPECT_EQ(first, nullptr);
            continue;
        }
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->at, TimePoint(std::chrono::seconds(c.firstPersonAt)));
    }
}

} // namespace
} // namespace quorvia
