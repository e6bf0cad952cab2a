// What the service's reply must be for the add-in to put it into a mail: each
// rule once, with the reason the add-in logs when a reply breaks it.
#include "tracking/FragmentCheck.h"

#include <gtest/gtest.h>

#include <string>

namespace {

ServiceReply Reply(std::string body, std::string type = "text/html", std::string encoding = "")
{
    ServiceReply reply;
    reply.status = 200;
    reply.body = std::move(body);
    reply.complete = true;
    reply.contentType = std::move(type);
    reply.contentEncoding = std::move(encoding);
    return reply;
}

TEST(FragmentCheck, OnlyOneMarkedElementWithNothingThatRunsOrHidesIsAFragment)
{
    struct Case
    {
        const char *what;
        ServiceReply reply;
        const char *reason; // null: a fragment
    };
    ServiceReply redirect = Reply("<img alt=qvmk>");
    redirect.status = 302;
    ServiceReply cutShort = Reply("<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/1");
    cutShort.complete = false;
    ServiceReply overLimit = Reply(std::string(kFragmentLimit + 1, ' '));
    const Case cases[] = {
        {"an image", Reply(" <img alt=\"qvmk\" src=\"https://www.quorvia.com/t/1.gif\" width=1 height=1>\r\n"), nullptr},
        {"unquoted, upper case, self-closed", Reply("<IMG ALT=QVMK SRC=x />"), nullptr},
        {"a link around an image", Reply("<a href='https://q' alt='qvmk'><img src=x></a>"), nullptr},
        {"Latin-1 text as its charset says", Reply("<img alt=qvmk title=\"\xE9\">", "text/html; charset=ISO-8859-1"),
         nullptr},
        {"identity encoding", Reply("<img alt=qvmk>", "text/html", "identity"), nullptr},
        {"a redirect", redirect, "status 302"},
        {"cut short", cutShort, "the reply stopped short of its end"},
        {"too large", overLimit, "larger than 16 KB"},
        {"compressed", Reply("<img alt=qvmk>", "text/html", "gzip"), "content encoding gzip"},
        {"a zero byte", Reply(std::string("<img alt=qvmk>\0", 15)), "control byte 0x00 at 14"},
        {"a control byte", Reply("<img alt=qvmk\x1B>"), "control byte 0x1B at 13"},
        {"not UTF-8", Reply("<img alt=qvmk title=\"\xE9\">"), "not utf-8 text"},
        {"an unknown charset", Reply("<img alt=qvmk>", "text/html; charset=koi8-r"), "charset koi8-r is not known"},
        {"a whole page", Reply("<html><body><img alt=qvmk></body></html>"), "its element carries no tracking marker"},
        {"no marker", Reply("<img src=x>"), "its element carries no tracking marker"},
        {"text only", Reply("tracking"), "it does not start with an element"},
        {"two elements", Reply("<img alt=qvmk><img alt=qvmk>"), "it holds more than one element"},
        {"text beside", Reply("<img alt=qvmk> and more"), "it holds text beside its element"},
        {"a script", Reply("<a alt=qvmk><script>x()</script></a>"), "it holds a script element"},
        {"a style that hides the mail", Reply("<style>body{display:none}</style>"), "it holds a style element"},
        {"an iframe", Reply("<iframe alt=qvmk src=x></iframe>"), "it holds an iframe element"},
        {"an object", Reply("<object alt=qvmk></object>"), "it holds an object element"},
        {"a form", Reply("<form alt=qvmk></form>"), "it holds a form element"},
        {"a handler", Reply("<img alt=qvmk onerror=\"x()\">"), "it holds an onerror handler"},
        {"half a tag", Reply("<img alt=\"qvmk\" src=\"x"), "it holds markup that is not a complete tag"},
        {"never closed", Reply("<a alt=qvmk>x"), "its element is not closed"},
        {"empty", Reply(""), "it does not start with an element"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string reason;
        std::optional<std::wstring> fragment = CheckFragment(c.reply, &reason);
        EXPECT_EQ(c.reason == nullptr, fragment.has_value());
        EXPECT_EQ(c.reason ? c.reason : "", reason);
    }
    // The text is handed on decoded.
    std::string reason;
    EXPECT_EQ(std::wstring(L"<img alt=qvmk title=\"\u00E9\u4E2D\">"),
              CheckFragment(Reply("<img alt=qvmk title=\"\xC3\xA9\xE4\xB8\xAD\">"), &reason).value_or(L"?"));
}

} // namespace
