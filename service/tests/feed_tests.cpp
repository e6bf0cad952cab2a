// The feed's form as the add-in writes it, and the fragment the feed answers.
#include "feed/FeedForm.h"
#include "feed/Fragment.h"

#include "AddinForm.h"

#include <gtest/gtest.h>

namespace quorvia {
namespace {

struct Accepted
{
    const char *what;
    std::string body;
    FeedForm want;
};

// Bodies as the add-in's BuildTrackingRequest writes them (each byte %XX in
// upper case; to and subj as UTF-16LE), written out here rather than built by
// the test's own encoder, so that one mistake cannot hide in both.
const Accepted kAccepted[] = {
    {"latin",
     "login=%61%6E%6E%61%40%65%78%61%6D%70%6C%65%2E%63%6F%6D&password=%63%6F%72%72%65%63%74%20%68%6F%72%73%65"
     "&to=%42%00%6F%00%62%00%20%00%53%00%6D%00%69%00%74%00%68%00%20%00%3C%00%62%00%6F%00%62%00%40%00%65%00%78%00"
     "%61%00%6D%00%70%00%6C%00%65%00%2E%00%63%00%6F%00%6D%00%3E%00&subj=%51%00%75%00%61%00%72%00%74%00%65%00%72"
     "%00%6C%00%79%00%20%00%72%00%65%00%70%00%6F%00%72%00%74%00%2C%00%20%00%63%00%61%00%66%00%E9%00%20%00%6D%00"
     "%65%00%6E%00%75%00&raw=1",
     {"anna@example.com", "correct horse", "Bob Smith <bob@example.com>", "Quarterly report, café menu"}},
    {"cyrillic",
     "login=%D0%B1%D0%BE%D1%80%D0%B8%D1%81%40%D0%BF%D1%80%D0%B8%D0%BC%D0%B5%D1%80%2E%D1%80%D1%84&password=%D0%BF"
     "%D0%B0%D1%80%D0%BE%D0%BB%D1%8C%2D%D1%81%D0%B5%D0%BA%D1%80%D0%B5%D1%82&to=%11%04%3E%04%40%04%38%04%41%04%20"
     "%00%1F%04%35%04%42%04%40%04%3E%04%32%04&subj=%1F%04%40%04%38%04%32%04%35%04%42%04%2C%00%20%00%3C%04%38%04"
     "%40%04&raw=1",
     {"борис@пример.рф", "пароль-секрет", "Борис Петров", "Привет, мир"}},
    {"chinese",
     "login=%6C%69%40%E4%BE%8B%E5%AD%90%2E%E4%B8%AD%E5%9B%BD&password=%E5%AF%86%E7%A0%81%E5%BE%88%E9%95%BF%E5%BE"
     "%88%E9%95%BF&to=%8B%73%0F%5C%0E%66%3B%00%20%00%4E%67%F7%96&subj=%60%4F%7D%59%0C%FF%16%4E%4C%75&raw=1",
     {"li@例子.中国", "密码很长很长", "王小明; 李雷", "你好，世界"}},
    {"emoji (surrogate pairs)",
     "login=%7A%6F%65%40%65%78%61%6D%70%6C%65%2E%6F%72%67&password=%70%C3%A4%73%73%F0%9F%94%91%77%6F%72%64"
     "&to=%5A%00%6F%00%EB%00%20%00%3C%D8%89%DF&subj=%4C%00%61%00%75%00%6E%00%63%00%68%00%20%00%3D%D8%80%DE%20%00"
     "%74%00%6F%00%64%00%61%00%79%00&raw=1",
     {"zoe@example.org", "päss🔑word", "Zoë 🎉", "Launch 🚀 today"}},
    {"lower-case hex", "login=%61%62&password=%63&to=%e9%00&subj=%3d%d8%80%de&raw=1", {"ab", "c", "é", "🚀"}},
    {"empty fields", "login=&password=&to=&subj=&raw=1", {"", "", "", ""}},
};

TEST(FeedForm, DecodesTheAddinsBytes)
{
    for (const Accepted &c : kAccepted) {
        std::string reason;
        const auto form = DecodeFeedForm(c.body, &reason);
        ASSERT_TRUE(form) << c.what << ": " << reason;
        EXPECT_EQ(form->login, c.want.login) << c.what;
        EXPECT_EQ(form->password, c.want.password) << c.what;
        EXPECT_EQ(form->recipients, c.want.recipients) << c.what;
        EXPECT_EQ(form->subject, c.want.subject) << c.what;
        // The fuzz test's encoder writes what the add-in writes.
        EXPECT_EQ(test::AddinForm(c.want), test::UpperHex(c.body)) << c.what;
    }
}

std::string Body(const std::string &login, const std::string &to = "", const std::string &subj = "",
                 const std::string &tail = "&raw=1")
{
    return "login=" + login + "&password=%70&to=" + to + "&subj=" + subj + tail;
}

struct Refused
{
    std::string body;
    std::string reason;
};

TEST(FeedForm, RefusesAnythingElseAndSaysWhy)
{
    const Refused cases[] = {
        {std::string(kMaxFeedForm + 1, '%'), "body of 65537 bytes is over the limit of 65536"},
        {"", "empty body"},
        {"login", "field without '=' at offset 0"},
        {"user=%61&password=&to=&subj=&raw=1", "unknown field 'user' at offset 0"},
        {"login=&pass\x01=&to=&subj=&raw=1", "unknown field 'pass\\x01' at offset 7"},
        {"login=&to=&subj=&raw=1", "missing field 'password' before 'to'"},
        {"password=&login=&to=&subj=&raw=1", "missing field 'login' before 'password'"},
        {"login=&login=&password=&to=&subj=&raw=1", "field 'login' appears twice at offset 7"},
        {"login=&password=&to=&subj=", "missing field 'raw'"},
        {Body("", "", "", "&raw=2"), "raw must be 1 at offset 34"},
        {Body("", "", "", "&raw=%31"), "raw must be 1 at offset 34"},
        {Body("", "", "", "&raw=1&"), "more after raw=1 at offset 35"},
        {Body("", "", "", "&raw=1&raw=1"), "more after raw=1 at offset 35"},
        {Body("%4G"), "malformed escape in login at offset 6"},
        {Body("%61%4"), "malformed escape in login at offset 9"},
        {Body("%61a"), "unescaped character 'a' in login at offset 9 (every byte must be %XX)"},
        {Body("", "", "+%00"), "unescaped character '+' in subj at offset 29 (every byte must be %XX)"},
        {Body("%C3%28"), "invalid UTF-8 in login at offset 6"},
        {Body("%61%C0%AF"), "invalid UTF-8 in login at offset 9"},        // overlong '/'
        {Body("%ED%A0%80"), "invalid UTF-8 in login at offset 6"},        // a surrogate
        {Body("%F4%90%80%80"), "invalid UTF-8 in login at offset 6"},     // past U+10FFFF
        {Body("%E4%BD"), "invalid UTF-8 in login at offset 6"},           // cut short
        {Body("%61%00"), "NUL character in login at offset 9"},
        {Body("", "%41"), "odd number of UTF-16 bytes in to (1)"},
        {Body("", "%41%00%00%00"), "NUL character in to at offset 29"},
        {Body("", "", "%41%00%3D%D8"), "lone high surrogate in subj at offset 35"},
        {Body("", "", "%3D%D8%41%00"), "lone high surrogate in subj at offset 29"},
        {Body("", "", "%80%DE"), "lone low surrogate in subj at offset 29"},
    };
    for (const Refused &c : cases) {
        std::string reason;
        EXPECT_FALSE(DecodeFeedForm(c.body, &reason)) << c.body.substr(0, 80);
        EXPECT_EQ(reason, c.reason) << c.body.substr(0, 80);
    }
    EXPECT_FALSE(DecodeFeedForm("login", nullptr)); // no reason wanted
}

// The add-in's FragmentCheck.cpp needs Windows (MultiByteToWideChar), so it is
// not built here; instead each fragment is held to the rules it enforces: one
// element carrying alt="qvmk" (its first attribute), no script, style, iframe,
// object or form, no on... handler, no control bytes, at most 16 KB.
void ExpectAddinAccepts(const std::string &fragment, const std::string &src)
{
    SCOPED_TRACE(fragment.substr(0, 120));
    EXPECT_LE(fragment.size(), 16u * 1024);
    for (unsigned char c : fragment)
        EXPECT_TRUE(c >= 0x20 && c != 0x7F) << int(c);
    ASSERT_TRUE(fragment.starts_with("<img alt=\"qvmk\" "));
    EXPECT_EQ(fragment.find('<', 1), std::string::npos); // one element, nothing inside it
    EXPECT_EQ(fragment.find('>'), fragment.size() - 1);
    EXPECT_EQ(fragment, "<img alt=\"qvmk\" src=\"" + src +
                            "\" width=\"1\" height=\"1\" style=\"display:block;border:0\">");
}

TEST(Fragment, IsOneMarkedInertElement)
{
    const std::string token = "AAAAAAAAAAAAAAAAAAAAAA";
    ExpectAddinAccepts(TrackingFragment("https://t.example", token), "https://t.example/t/" + token + ".gif");
    ExpectAddinAccepts(TrackingFragment("https://t.example/q/", token), "https://t.example/q/t/" + token + ".gif");
    ExpectAddinAccepts(TrackingFragment("http://t.example/a&b'c", token),
                       "http://t.example/a&amp;b&#39;c/t/" + token + ".gif");
    // The longest usable URL, every byte of its path escaped: still far below 16 KB.
    const size_t path = kMaxPublicUrl - 18;
    std::string escaped;
    for (size_t i = 0; i < path; ++i)
        escaped += "&amp;";
    ExpectAddinAccepts(TrackingFragment("https://t.example/" + std::string(path, '&'), token),
                       "https://t.example/" + escaped + "/t/" + token + ".gif");
}

TEST(Fragment, RefusesWhatCouldBreakOutOfTheAttribute)
{
    const std::string token = "AAAAAAAAAAAAAAAAAAAAAA";
    const char *unusable[] = {"", "t.example", "ftp://t.example", "https://", "https:///x",
                              "https://t.example/\"onload=\"x", "https://t.example/<script>", "https://t.example/a b",
                              "https://t.example/\x01", "https://t.example/é", "https://t.example/?x=1",
                              "https://t.example/#x", "https://t.example/`", "https://t.example\\x"};
    for (const char *url : unusable) {
        EXPECT_FALSE(IsUsablePublicUrl(url)) << url;
        EXPECT_EQ(TrackingFragment(url, token), "") << url;
    }
    EXPECT_FALSE(IsUsablePublicUrl("https://t.example/" + std::string(kMaxPublicUrl, 'a')));
    EXPECT_EQ(TrackingFragment("https://t.example", "not-a-token\"><script>"), "");
}

} // namespace
} // namespace quorvia
