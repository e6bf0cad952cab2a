#include "pixel/OpenRules.h"

#include <array>

namespace quorvia {

namespace {

enum class Test
{
    SenderAddress, // the account posted to the feed from this address recently
    Exactly,       // the user agent, trimmed, is one of the patterns
    Empty,         // no user agent at all
    Contains,      // the user agent holds one of the patterns (ASCII case ignored)
    AppleWebKitApp, // Apple's WebKit on an Apple platform, with no Safari token
    StartsWith,    // the user agent starts with one of the patterns
    Always,
};

struct Rule
{
    const char *name; // stored with the open
    const char *kind;
    Test test;
    std::array<std::string_view, 10> patterns;
};

// What fetched the pixel, first match wins. Sources (read 2026):
// - Gmail's image proxy fetches an image when the message is first opened and
//   caches it, so one fetch per message and reader, with Google's address:
//   https://wordtothewise.com/2013/12/gmail-deploys-image-proxy-servers/ and
//   https://justopened.pages.dev/docs/faq-google-proxy.html; some marketers
//   claim it prefetches on delivery (https://outsolvi.com/glossary/gmail-image-proxy)
//   but show no test, so it stays a person. User agent
//   "Mozilla/5.0 (Windows NT 5.1; rv:11.0) Gecko Firefox/11.0 (via ggpht.com
//   GoogleImageProxy)": https://darkvisitors.com/agents/googleimageproxy
// - Yahoo's proxy fetches content shown to Yahoo Mail users, user agent
//   "YahooMailProxy; https://help.yahoo.com/kb/yahoo-mail-proxy-SLN28749.html":
//   https://botcrawl.com/bots/yahoomailproxy/. No source shows it fetching on
//   delivery, so like Gmail's it counts as a person.
// - Apple Mail Privacy Protection prefetches every image when mail arrives,
//   whether read or not, through Apple's proxies, with the bare user agent
//   "Mozilla/5.0": https://www.mailgun.com/blog/product/bot-detection/ and
//   https://bird.com/en-nl/blog/4-insights-on-ios-15-mail-privacy-protection.
//   No browser sends that string alone, so the user agent suffices; an address
//   rule would need Apple's egress ranges kept up to date, and the service only
//   keeps truncated addresses, so there is none.
// - Outlook for Windows fetches images (once the reader allows them) as
//   "Mozilla/4.0 (compatible; ms-office; MSOffice 16)":
//   https://github.com/TecharoHQ/anubis/discussions/1601. Safe Links sends
//   Office user agents too, but for links at click time, not for images
//   (https://check.live-direct-marketing.online/blog/microsoft-defender-link-click-pattern).
// - Outlook.com and Microsoft 365 on the web: no public source found that
//   describes an image proxy of theirs; the reader's browser fetches, so those
//   opens fall to the browser rule.
// - Thunderbird blocks remote content until the reader allows it
//   (https://europe-west1.prod.sumo.prod.webservices.mozgcp.net/lt/kb/remote-content-in-messages,
//   Mozilla's support page) and names
//   itself as a Gecko application, "Mozilla/5.0 (platform; rv:x) Gecko/20100101
//   Thunderbird/y": https://developer.mozilla.org/en-US/docs/Gecko_user_agent_string_reference
// - Apple Mail without MPP is WebKit in an app: Apple's WebKit and platform
//   without Safari's "Version/... Safari/..." tokens, as an embedded WebKit
//   sends (https://akos.ma/blog/http-headers-web-apps-and-mobile-safari/;
//   Safari's own form: https://ai.theagi.company/safari-browser-user-agent).
// - Gateways and link checkers: Barracuda and Proofpoint name themselves in the
//   user agent, Mimecast is known by its network (AS 34440) rather than a
//   string, Defender's sandbox uses an ordinary Chrome user agent from
//   Microsoft's addresses (https://check.live-direct-marketing.online/blog/bot-clicks-security-scanners-detect,
//   .../microsoft-defender-link-click-pattern). Those without a telling string
//   cannot be told by the user agent and count as whatever they imitate.
//   HTTP libraries (python-requests, aiohttp, Wget, curl, Java,
//   Apache-HttpClient, lua-resty-http: https://suped.com/learn/email-deliverability/how-can-i-identify-bot-user-agents-in-my-email-click-data),
//   Go's client ("Go-http-client/1.1") and headless Chrome ("HeadlessChrome/":
//   https://github.com/karma-runner/karma/issues/2762) are scripts, not readers.
//   A request with no user agent at all is one too: every mail client sends one.
// What matches nothing counts as a person under its own rule, "unrecognised":
// mail apps are many and varied (Android and desktop clients with their own
// strings), a missed open would tell the sender "unopened" when it was read,
// and the rule's name lets the sender and us see which opens rest on no more
// than that.
const Rule kRules[] = {
    {"sender-address", "sender", Test::SenderAddress, {}},
    {"apple-mpp", "prefetch", Test::Exactly, {"Mozilla/5.0"}},
    {"gmail-image-proxy", "person", Test::Contains, {"GoogleImageProxy"}},
    {"yahoo-mail-proxy", "person", Test::Contains, {"YahooMailProxy"}},
    {"security-gateway", "scanner", Test::Contains, {"Barracuda", "Proofpoint", "Mimecast"}},
    {"http-library", "scanner", Test::Contains,
     {"python-requests", "python-urllib", "aiohttp", "curl/", "Wget/", "Go-http-client", "Java/",
      "Apache-HttpClient", "lua-resty-http"}},
    {"headless-browser", "scanner", Test::Contains, {"HeadlessChrome"}},
    {"no-user-agent", "scanner", Test::Empty, {}},
    {"outlook-desktop", "person", Test::Contains, {"ms-office", "MSOffice", "Microsoft Outlook"}},
    {"thunderbird", "person", Test::Contains, {"Thunderbird/"}},
    {"apple-mail", "person", Test::AppleWebKitApp, {}},
    {"browser", "person", Test::StartsWith, {"Mozilla/5.0 ("}},
    {"unrecognised", "person", Test::Always, {}},
};

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ContainsNoCase(std::string_view text, std::string_view pattern)
{
    if (pattern.empty() || pattern.size() > text.size())
        return false;
    for (size_t i = 0; i + pattern.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < pattern.size() && Lower(text[i + k]) == Lower(pattern[k]))
            ++k;
        if (k == pattern.size())
            return true;
    }
    return false;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool Matches(const Rule &rule, const OpenFacts &facts)
{
    const std::string_view ua = Trimmed(facts.userAgent);
    auto any = [&rule](auto &&test) {
        for (std::string_view p : rule.patterns)
            if (!p.empty() && test(p))
                return true;
        return false;
    };
    switch (rule.test) {
    case Test::SenderAddress:
        return facts.fromSenderAddress;
    case Test::Exactly:
        return any([&](std::string_view p) { return ua == p; });
    case Test::Empty:
        return ua.empty();
    case Test::Contains:
        return any([&](std::string_view p) { return ContainsNoCase(ua, p); });
    case Test::AppleWebKitApp:
        return ContainsNoCase(ua, "AppleWebKit/") && ContainsNoCase(ua, "Mac OS X") &&
               !ContainsNoCase(ua, "Safari/");
    case Test::StartsWith:
        return any([&](std::string_view p) { return ua.starts_with(p); });
    case Test::Always:
        return true;
    }
    return false;
}

} // namespace

OpenKind ClassifyOpen(const OpenFacts &facts)
{
    for (const Rule &rule : kRules)
        if (Matches(rule, facts))
            return {rule.kind, rule.name};
    return {"person", "unrecognised"}; // not reached: the last rule always matches
}

std::string MessageStatus(const std::vector<Open> &opens)
{
    bool prefetched = false;
    for (const Open &open : opens) {
        if (open.kind == "person")
            return "opened";
        prefetched = prefetched || open.kind == "prefetch";
    }
    return prefetched ? "maybe" : "unopened";
}

const Open *FirstPersonOpen(const std::vector<Open> &opens)
{
    const Open *first = nullptr;
    for (const Open &open : opens)
        if (open.kind == "person" && (!first || open.at < first->at))
            first = &open;
    return first;
}

} // namespace quorvia
