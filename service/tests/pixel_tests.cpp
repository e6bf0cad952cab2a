// What kind of open a pixel fetch is, from user agents as the sources cited in
// OpenRules.cpp give them, and what a message's opens add up to.
#include "pixel/OpenRules.h"

#include <gtest/gtest.h>

namespace quorvia {
namespace {

TEST(OpenRules, ClassifiesRealUserAgents)
{
    struct Seen
    {
        std::string userAgent, kind, rule;
    };
    const Seen cases[] = {
        {"Mozilla/5.0 (Windows NT 5.1; rv:11.0) Gecko Firefox/11.0 (via ggpht.com GoogleImageProxy)", "person",
         "gmail-image-proxy"},
        {"YahooMailProxy; https://help.yahoo.com/kb/yahoo-mail-proxy-SLN28749.html", "person", "yahoo-mail-proxy"},
        {"Mozilla/5.0", "prefetch", "apple-mpp"},
        {" Mozilla/5.0 ", "prefetch", "apple-mpp"},
        {"Mozilla/4.0 (compatible; ms-office; MSOffice 16)", "person", "outlook-desktop"},
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:128.0) Gecko/20100101 Thunderbird/128.0", "person",
         "thunderbird"},
        {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko)", "person",
         "apple-mail"},
        {"Mozilla/5.0 (iPhone; U; CPU iPhone OS 3_1_2 like Mac OS X; en-us) AppleWebKit/528.18 (KHTML, like Gecko) "
         "Mobile/7D11", "person", "apple-mail"},
        // Webmail in a browser, Outlook.com and Microsoft 365 on the web among them.
        {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 "
         "Safari/605.1.15", "person", "browser"},
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:91.0) Gecko/20100101 Firefox/91.0", "person", "browser"},
        {"Mozilla/5.0 (compatible; Barracuda Sentinel)", "scanner", "security-gateway"},
        {"Proofpoint URL Defense", "scanner", "security-gateway"}, // the source gives only the token
        {"python-requests/2.31.0", "scanner", "http-library"},
        {"curl/8.5.0", "scanner", "http-library"},
        {"Go-http-client/1.1", "scanner", "http-library"},
        {"Apache-HttpClient/4.5.13 (Java/17.0.8)", "scanner", "http-library"},
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) HeadlessChrome/143.0.7499.4 "
         "Safari/537.36", "scanner", "headless-browser"},
        {"", "scanner", "no-user-agent"},
        {"  ", "scanner", "no-user-agent"},
        {"SomeMailApp/3.2 (Android 14)", "person", "unrecognised"},
        {std::string(8192, '\xff'), "person", "unrecognised"},
    };
    for (const Seen &c : cases) {
        const OpenKind got = ClassifyOpen({c.userAgent, "203.0.113.0/24", false});
        EXPECT_EQ(got.kind, c.kind) << c.userAgent.substr(0, 100);
        EXPECT_EQ(got.rule, c.rule) << c.userAgent.substr(0, 100);
        // The sender's own Outlook showing the sent copy: whatever the user agent says.
        const OpenKind sender = ClassifyOpen({c.userAgent, "203.0.113.0/24", true});
        EXPECT_EQ(std::string(sender.kind) + " " + sender.rule, "sender sender-address");
    }
}

TEST(OpenRules, StatusAndFirstPersonOpen)
{
    auto at = [](int seconds, const char *kind) {
        Open open;
        open.at = TimePoint(std::chrono::seconds(seconds));
        open.kind = kind;
        return open;
    };
    const std::tuple<std::vector<Open>, std::string, int> cases[] = { // opens, status, first person's open (-1: none)
        {{}, "unopened", -1},
        {{at(1, "scanner"), at(2, "sender")}, "unopened", -1},
        {{at(1, "prefetch"), at(2, "scanner")}, "maybe", -1},
        {{at(1, "prefetch"), at(5, "person"), at(3, "person")}, "opened", 3},
    };
    for (const auto &[opens, status, firstAt] : cases) {
        EXPECT_EQ(MessageStatus(opens), status);
        const Open *first = FirstPersonOpen(opens);
        EXPECT_EQ(first ? first->at.time_since_epoch().count() / 1000000 : -1, firstAt);
    }
}

} // namespace
} // namespace quorvia
