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

// Each byte as one UTF-16 unit of the same value.
std::wstring Widened(const std::string &bytes)
{
    std::wstring wide;
    for (unsigned char b : bytes)
        wide.push_back(b);
    return wide;
}

TEST_P(InsertTrackingFragmentTest, MarksBodyExactlyOnce)
{
    const MarkCase &c = GetParam();
    EXPECT_EQ(c.expected, InsertTrackingFragment(std::string(c.html), std::string(kFragment))) << c.what;
    EXPECT_EQ(Widened(c.expected), InsertTrackingFragment(Widened(c.html), Widened(kFragment))) << c.what;
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
        MarkCase{"unquoted before quoted: both removed", "<body><i alt=qvmk>1</i><img alt=\"qvmk\">2</body>",
                 "<body>2" F "</body>"},
        MarkCase{"marker written with spaces or single quotes removed",
                 "<body>1<img alt = \"qvmk\" >2<img alt='QVMK'>3</body>", "<body>123" F "</body>"},
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
                 "<body><div alt=qvmk></body></div>y", "<body>" F "y"},
        MarkCase{"closing body tag cut off by the end of the text still counts", "<body>x</body", "<body>x" F "</body"},
        MarkCase{"bytes outside ASCII kept, also in names", "<body>\xE9<p\xE9 alt=qvmk>\xFF</P\xE9>\x80</body>",
                 "<body>\xE9\x80" F "</body>"},

        // "</body" that is text, not a tag.
        MarkCase{"in a comment", "<body>a<!-- </body> -->b</body>", "<body>a<!-- </body> -->b" F "</body>"},
        MarkCase{"after comments that close early", "<body><!-->a<!--->b<!-- c --!>d</body>",
                 "<body><!-->a<!--->b<!-- c --!>d" F "</body>"},
        MarkCase{"in a comment never closed", "<body>a<!-- </body>", "<body>a<!-- </body>" F},
        MarkCase{"in a script string", "<body><script>s = \"</scripts></body>\";</script>x</body>",
                 "<body><script>s = \"</scripts></body>\";</script>x" F "</body>"},
        MarkCase{"in a script never closed", "<body><script>x</body>", "<body><script>x</body>" F},
        MarkCase{"in <?...> and <!...> declarations", "<body><? </body><! </body>x</body>",
                 "<body><? </body><! </body>x" F "</body>"},
        MarkCase{"in title, style and textarea",
                 "<title></body></title><style>/*</body>*/</STYLE ><textarea></body></textarea>x</body>",
                 "<title></body></title><style>/*</body>*/</STYLE ><textarea></body></textarea>x" F "</body>"},
        MarkCase{"in attribute values", "<body><a title=\"</body>\" name='</body>' id=</body>x</a></body>",
                 "<body><a title=\"</body>\" name='</body>' id=</body>x</a>" F "</body>"},
        MarkCase{"in a CDATA section", "<body><![CDATA[ a > </body> ]]>x</body>",
                 "<body><![CDATA[ a > </body> ]]>x" F "</body>"},

        // alt=qvmk that is no marker: left alone.
        MarkCase{"marker in a comment", "<body><!-- <img alt=qvmk> -->x</body>",
                 "<body><!-- <img alt=qvmk> -->x" F "</body>"},
        MarkCase{"marker in a script", "<body><script>s = '<img alt=\"qvmk\">';</script>y</body>",
                 "<body><script>s = '<img alt=\"qvmk\">';</script>y" F "</body>"},
        MarkCase{"marker in an attribute value", "<body><img title=\"alt=qvmk\" src=x>y</body>",
                 "<body><img title=\"alt=qvmk\" src=x>y" F "</body>"},
        MarkCase{"other attribute, other value, alt given twice, alt without value",
                 "<body><i data-alt=qvmk>1</i><i alt=qvmkx>2</i><i alt=x alt=qvmk>3</i><i alt>4</i></body>",
                 "<body><i data-alt=qvmk>1</i><i alt=qvmkx>2</i><i alt=x alt=qvmk>3</i><i alt>4</i>" F "</body>"},
        MarkCase{"marker in an end tag", "<body>x</p alt=qvmk></body>", "<body>x</p alt=qvmk>" F "</body>"},
        MarkCase{"'<' that opens no tag", "<body>a <= alt=qvmk> b</body>", "<body>a <= alt=qvmk> b" F "</body>"},
        MarkCase{"marker in a tag the text ends inside", "<body>x<img alt=\"qvmk\" src=\"y</body></html>",
                 "<body>x<img alt=\"qvmk\" src=\"y</body></html>" F},

        // How much of a tracking element goes.
        MarkCase{"no closing tag of its own: only its tag", "<body><a alt=\"qvmk\">old <a href=u>link</a> x</body>",
                 "<body>old <a href=u>link</a> x" F "</body>"},
        MarkCase{"nested elements of its name", "<body><div alt=qvmk>1<div>2</div>3</DIV >4</body>",
                 "<body>4" F "</body>"},
        MarkCase{"closing tag in a comment does not count", "<body><a alt=qvmk>x<!-- </a> -->y</a>z</body>",
                 "<body>z" F "</body>"},
        MarkCase{"void or self-closed: only its tag", "<body><img alt=qvmk>x</img><span alt=\"qvmk\"/>y</span></body>",
                 "<body>x</img>y</span>" F "</body>"},
        MarkCase{"tracking element inside a removed one goes too", "<body><a alt=qvmk>1<b alt=qvmk>2</a>3</b>4</body>",
                 "<body>3</b>4" F "</body>"}));

// Thousands of earlier elements, the spans never closed (each one open inside
// the one before): every tracking tag goes and nothing else.
TEST(InsertTrackingFragmentManyTest, RemovesEveryEarlierElement)
{
    std::string html = "<body>", expected = "<body>";
    for (int i = 0; i < 3000; ++i) {
        std::string text = "<p>" + std::to_string(i) + "</p>";
        html += "<span alt=qvmk>" + text + "<a alt=qvmk>x</a><img alt='qvmk'>";
        expected += text;
    }
    EXPECT_EQ(expected + F "</body>", InsertTrackingFragment(html + "</body>", std::string(kFragment)));
}

#undef F

TEST(InsertTrackingFragmentWideTest, KeepsEveryCharacterOfUtf16Text)
{
    std::wstring html =
        L"<body>\x20AC \x4E2D\x6587 \xD83D\xDE00<img alt=\"qvmk\"><x\x4E2D alt=qvmk>\xDE00</X\x4E2D></BODY>";
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
