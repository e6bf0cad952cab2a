// The feed's form as the add-in writes it, and the fragment the feed answers.
#include "feed/FeedForm.h"
#include "feed/Fragment.h"

#include "AddinForm.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace quorvia {
namespace {

std::string Seed(const char *name)
{
    std::ifstream file(std::string(QUORVIA_TESTS_DIR "/fuzz-corpus/") + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The seeds are bodies as the add-in's BuildTrackingRequest writes them (each
// byte %XX in upper case; to and subj as UTF-16LE), made apart from this code,
// so that one mistake cannot hide in both the decoder and the test's encoder.
TEST(FeedForm, DecodesTheAddinsBytes)
{
    const std::pair<std::string, FeedForm> cases[] = {
        {Seed("latin"), {"anna@example.com", "correct horse", "Bob Smith <bob@example.com>", "Quarterly report, café menu"}},
        {Seed("cyrillic"), {"борис@пример.рф", "пароль-секрет", "Борис Петров", "Привет, мир"}},
        {Seed("chinese"), {"li@例子.中国", "密码很长很长", "王小明; 李雷", "你好，世界"}},
        {Seed("emoji"), {"zoe@example.org", "päss🔑word", "Zoë 🎉", "Launch 🚀 today"}},
        {"login=%61%62&password=%63&to=%e9%00&subj=%3d%d8%80%de&raw=1", {"ab", "c", "é", "🚀"}}, // lower-case hex
        {"login=&password=&to=&subj=&raw=1", {"", "", "", ""}},
    };
    for (const auto &[body, want] : cases) {
        std::string reason;
        const auto form = DecodeFeedForm(body, &reason);
        ASSERT_TRUE(form) << body.substr(0, 60) << ": " << reason;
        EXPECT_EQ(form->login, want.login);
        EXPECT_EQ(form->password, want.password);
        EXPECT_EQ(form->recipients, want.recipients);
        EXPECT_EQ(form->subject, want.subject);
        EXPECT_EQ(test::AddinForm(want), test::UpperHex(body)); // the fuzz test's encoder writes the same
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
        {Body("", "", "", "&raw=1&"), "more after raw=1 at offset 35"},
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
// element carrying alt="qvmk", no script, style, iframe, object, form or on...
// handler (the exact text below has none), no control bytes, at most 16 KB.
TEST(Fragment, IsOneMarkedInertElement)
{
    const std::string token = "AAAAAAAAAAAAAAAAAAAAAA", path(kMaxPublicUrl - 18, '&');
    std::string escaped;
    for (size_t i = 0; i < path.size(); ++i)
        escaped += "&amp;";
    const std::pair<std::string, std::string> cases[] = {
        {"https://t.example", "https://t.example/t/" + token + ".gif"},
        {"https://t.example/q/", "https://t.example/q/t/" + token + ".gif"},
        {"http://t.example/a&b'c", "http://t.example/a&amp;b&#39;c/t/" + token + ".gif"},
        {"https://t.example/" + path, "https://t.example/" + escaped + "/t/" + token + ".gif"}, // the longest
    };
    for (const auto &[url, src] : cases) {
        const std::string fragment = TrackingFragment(url, token);
        EXPECT_LE(fragment.size(), 16u * 1024);
        for (unsigned char c : fragment)
            EXPECT_TRUE(c >= 0x20 && c != 0x7F) << int(c);
        EXPECT_EQ(fragment.find('<', 1), std::string::npos); // one element, nothing inside it
        EXPECT_EQ(fragment, "<img alt=\"qvmk\" src=\"" + src +
                                "\" width=\"1\" height=\"1\" style=\"display:block;border:0\">");
    }
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
