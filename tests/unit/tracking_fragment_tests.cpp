// Marking a body: removal of earlier tracking elements, placement of the new
// fragment, and the escaping of the request form.

#include "tracking/TrackingFragment.h"

#include <gtest/gtest.h>

namespace {

struct MarkCase
{
    const char *what;
    const char *html;
    const char *expected;
};

void PrintTo(const MarkCase &c, std::ostream *os)
{
    *os << c.what;
}

const char kFragment[] = "<img alt=\"qvmk\" src=\"http://t/1\">";

class InsertTrackingFragmentTest : public ::testing::TestWithParam<MarkCase>
{
};

TEST_P(InsertTrackingFragmentTest, MarksBodyExactlyOnce)
{
    const MarkCase &c = GetParam();
    EXPECT_EQ(c.expected, InsertTrackingFragment(std::string(c.html), std::string(kFragment))) << c.what;
}

#define F "<img alt=\"qvmk\" src=\"http://t/1\">"

INSTANTIATE_TEST_SUITE_P(
    Bodies, InsertTrackingFragmentTest,
    ::testing::Values(
        MarkCase{"plain body", "<html><body>Hi</body></html>", "<html><body>Hi" F "</body></html>"},
        MarkCase{"upper-case closing tag", "<HTML><BODY>Hi</BODY></HTML>", "<HTML><BODY>Hi" F "</BODY></HTML>"},
        MarkCase{"two closing tags: the first wins", "<body>a</body>b</body>", "<body>a" F "</body>b</body>"},
        MarkCase{"quoted marker removed", "<body>a<img src=x alt=\"qvmk\">b</body>", "<body>ab" F "</body>"},
        MarkCase{"unquoted marker removed", "<body>a<img src=x alt=qvmk>b</body>", "<body>ab" F "</body>"},
        MarkCase{"marker in upper case removed", "<body>a<IMG SRC=x ALT=\"QVMK\">b</body>", "<body>ab" F "</body>"},
        MarkCase{"element with a closing tag removed whole", "<body>a<a href=x alt=\"qvmk\">t<b>x</b></a>b</body>",
                 "<body>ab" F "</body>"},
        MarkCase{"closing tag of another element with a longer name is not taken",
                 "<body><a alt=qvmk href=x>1<abbr>2</abbr>3</a>4</body>", "<body>4" F "</body>"},
        MarkCase{"unquoted before quoted survives", "<body><i alt=qvmk>1</i><img alt=\"qvmk\">2</body>",
                 "<body><i alt=qvmk>1</i>2" F "</body>"},
        MarkCase{"several earlier elements all removed", "<body><img alt=\"qvmk\">1<img alt=\"qvmk\">2</body>",
                 "<body>12" F "</body>"},
        MarkCase{"no closing body tag: fragment at the end", "<p>hello</p>", "<p>hello</p>" F},
        MarkCase{"empty body text", "", F},
        MarkCase{"marker without a '<' before it is left alone", "alt=qvmk <body>x</body>",
                 "alt=qvmk <body>x" F "</body>"},
        MarkCase{"marker without a '>' after it is left alone", "<body>x</body><img alt=qvmk",
                 "<body>x" F "</body><img alt=qvmk"},
        MarkCase{"marker in text between tags is left alone", "<body><p>say alt=\"qvmk\" here</p></body>",
                 "<body><p>say alt=\"qvmk\" here</p>" F "</body>"},
        MarkCase{"element after the closing body tag removed, fragment still before it",
                 "<body>x</body><img alt=\"qvmk\"></html>", "<body>x" F "</body></html>"},
        MarkCase{"tag name without a space", "<body><img/alt=\"qvmk\">x</body>", "<body>x" F "</body>"},
        MarkCase{"closing body tag inside a removed element: fragment where the element was",
                 "<body><div alt=qvmk></body></div>y", "<body>" F "y"}));

#undef F

TEST(InsertTrackingFragmentWideTest, KeepsEveryCharacterOfUtf16Text)
{
    std::wstring html = L"<body>\x20AC \x4E2D\x6587 \xD83D\xDE00<img alt=\"qvmk\"></BODY>";
    std::wstring marked = InsertTrackingFragment(html, std::wstring(L"<img alt=\"qvmk\" src=n>"));
    EXPECT_EQ(L"<body>\x20AC \x4E2D\x6587 \xD83D\xDE00<img alt=\"qvmk\" src=n></BODY>", marked);
}

TEST(HexEscapeBytesTest, EscapesEveryByteInUpperCase)
{
    const unsigned char bytes[] = {'a', 'b', 'c', 0x00, 0xE9, 0xFF, '%', ' ', '+'};
    EXPECT_EQ("%61%62%63%00%E9%FF%25%20%2B", HexEscapeBytesA(bytes, sizeof bytes));

    BSTR wide = HexEscapeBytes(bytes, 3);
    ASSERT_NE(nullptr, wide);
    EXPECT_STREQ(L"%61%62%63", wide);
    EXPECT_EQ(9u, SysStringLen(wide));
    SysFreeString(wide);

    EXPECT_EQ("", HexEscapeBytesA(bytes, 0));
}

} // namespace
