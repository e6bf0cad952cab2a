// The pages for people over HTTP, as a browser meets them: a real server on a
// free loopback port, SQLite and the mail outbox in a folder of their own.
#include "AddinForm.h"
#include "accounts/Accounts.h"
#include "accounts/Sessions.h"
#include "http/Service.h"
#include "mail/Mailer.h"
#include "web/Pages.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

using namespace quorvia;
namespace fs = std::filesystem;

namespace {

const char kAnn[] = "ann@example.com";
const char kAnnPassword[] = "correct horse";

// A browser of one person: keeps the cookies it is given and sends the form
// token of the last page it saw with every form.
struct Browser
{
    int port = 0;
    std::map<std::string, std::string> cookies;
    std::map<std::string, std::string> setCookieLines; // the last Set-Cookie of each name
    std::string forwardedFor; // the client's address as a proxy names it, when not 127.0.0.1
    int status = 0;
    std::string page, location;

    httplib::Result Keep(httplib::Result reply)
    {
        EXPECT_TRUE(reply);
        if (!reply)
            return reply;
        status = reply->status;
        page = reply->body;
        location = reply->get_header_value("Location");
        for (size_t i = 0; i < reply->get_header_value_count("Set-Cookie"); ++i) {
            const std::string line = reply->get_header_value("Set-Cookie", i);
            const std::string name = line.substr(0, line.find('='));
            const std::string value = line.substr(name.size() + 1, line.find(';') - name.size() - 1);
            setCookieLines[name] = line;
            if (line.find("Max-Age=0") != std::string::npos)
                cookies.erase(name);
            else
                cookies[name] = value;
        }
        return reply;
    }
    httplib::Headers Headers() const
    {
        std::string jar;
        for (const auto &[name, value] : cookies)
            jar += (jar.empty() ? "" : "; ") + name + "=" + value;
        httplib::Headers headers;
        if (!jar.empty())
            headers.emplace("Cookie", jar);
        if (!forwardedFor.empty())
            headers.emplace("X-Forwarded-For", forwardedFor);
        return headers;
    }
    httplib::Client Client() const
    {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(10, 0);
        return client;
    }
    std::string FormToken() const
    {
        std::smatch found;
        return std::regex_search(page, found, std::regex("name=\"form_token\" value=\"([0-9a-f]+)\"")) ? found[1].str()
                                                                                                       : std::string();
    }
    int Get(const std::string &path) { return Keep(Client().Get(path, Headers())), status; }
    // The form's fields; the last page's form token unless one is given.
    int Post(const std::string &path, httplib::Params fields)
    {
        if (!fields.count("form_token"))
            fields.emplace("form_token", FormToken());
        return Keep(Client().Post(path, Headers(), fields)), status;
    }
    bool Shows(const std::string &text) const { return page.find(text) != std::string::npos; }
};

class WebTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        char folder[] = "/tmp/quorvia-web-test.XXXXXX";
        ASSERT_TRUE(mkdtemp(folder));
        m_folder = folder;
        m_storage = OpenSqlite(m_folder);
        AccountLimits limits;
        limits.failures = 3;
        limits.signUps = 3;
        m_accounts = std::make_unique<Accounts>(*m_storage, limits);
        m_accounts->Create(kAnn, kAnnPassword);
        m_sessions = std::make_unique<Sessions>(*m_storage);
        m_mailer = std::make_unique<Mailer>(MailSettings{"", "no-reply@quorvia.example", Outbox().string()});
        ServiceSettings settings;
        settings.trustForwardedFor = true; // recipients come through X-Forwarded-For, the sender is 127.0.0.1
        m_service = std::make_unique<Service>(*m_storage, *m_accounts, settings, m_sessions.get());
        WebSettings web;
        web.publicUrl = "https://quorvia.example";
        web.pageSize = 2;
        m_pages = std::make_unique<WebPages>(*m_storage, *m_accounts, *m_sessions, *m_mailer,
                                             [this](const httplib::Request &r) { return m_service->ClientAddress(r); }, web);
        m_service->Install(m_server);
        m_pages->Install(m_server);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void TearDown() override
    {
        m_server.stop();
        m_thread.join();
        m_pages.reset();
        m_service.reset();
        m_accounts.reset();
        m_storage.reset();
        fs::remove_all(m_folder);
    }

    fs::path Outbox() const { return fs::path(m_folder) / "outbox"; }
    Browser NewBrowser() const
    {
        Browser browser;
        browser.port = m_port;
        return browser;
    }

    Browser SignedIn(const std::string &email = kAnn, const std::string &password = kAnnPassword)
    {
        Browser browser = NewBrowser();
        browser.Get("/index.php/signin");
        EXPECT_EQ(303, browser.Post("/index.php/signin", {{"email", email}, {"password", password}})) << browser.page;
        EXPECT_EQ("/index.php/reports", browser.location);
        browser.Get("/index.php/reports");
        return browser;
    }

    // A message through the feed, as the add-in sends it: its pixel's path.
    std::string Send(const std::string &subject, const std::string &password = kAnnPassword, int status = 200)
    {
        httplib::Client client("127.0.0.1", m_port);
        httplib::Result reply = client.Post("/index.php/messagefeed",
                                            test::AddinForm({kAnn, password, "bob@example.org", subject}),
                                            "application/x-www-form-urlencoded");
        EXPECT_TRUE(reply && reply->status == status);
        std::smatch found;
        const std::string body = reply ? reply->body : std::string();
        return std::regex_search(body, found, std::regex("src=\"[^\"]*(/t/[^\"]+\\.gif)\"")) ? found[1].str() : "";
    }

    // The mail files of the outbox, waiting up to 5 s for `count` of them.
    std::vector<std::string> Mails(size_t count)
    {
        std::vector<std::string> mails;
        for (int wait = 0; wait < 500 && mails.size() < count; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            mails.clear();
            std::error_code ignored;
            for (const auto &entry : fs::directory_iterator(Outbox(), ignored))
                if (entry.path().extension() == ".eml") {
                    std::ifstream in(entry.path());
                    mails.push_back(std::string(std::istreambuf_iterator<char>(in), {}));
                }
        }
        return mails;
    }

    std::string m_folder;
    std::unique_ptr<Storage> m_storage;
    std::unique_ptr<Accounts> m_accounts;
    std::unique_ptr<Sessions> m_sessions;
    std::unique_ptr<Mailer> m_mailer;
    std::unique_ptr<Service> m_service;
    std::unique_ptr<WebPages> m_pages;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

} // namespace

// Each refusal says what is wrong and keeps the address typed (escaped), never
// the passwords; success makes the account, signs in and tells how to set up
// the add-in.
TEST_F(WebTest, SignUpRefusesClearlyKeepingTheAddressAndThenMakesTheAccount)
{
    Browser browser = NewBrowser();
    ASSERT_EQ(200, browser.Get("/index.php/memberreg"));
    const struct
    {
        std::string email, password, again;
        int status;
        const char *says;
    } cases[] = {
        {kAnn, "pw-in-use-1", "pw-in-use-1", 409, "exists already"},
        {"Zoe@Example.com", "pw-7ch", "pw-7ch", 422, "too short"},
        {"Zoe@Example.com", "pw-long-1", "pw-long-2", 422, "differ"},
        {"zoe\"<b>@example", "pw-long-3", "pw-long-3", 422, "not an e-mail address"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.says);
        EXPECT_EQ(c.status, browser.Post("/index.php/memberreg",
                                          {{"email", c.email}, {"password", c.password}, {"password2", c.again}}));
        EXPECT_TRUE(browser.Shows(c.says)) << browser.page;
        EXPECT_FALSE(browser.Shows(c.password));
        EXPECT_FALSE(browser.Shows("<b>@example"));
    }
    EXPECT_TRUE(browser.Shows("value=\"zoe&quot;&lt;b&gt;@example\""));
    EXPECT_EQ(201, browser.Post("/index.php/memberreg",
                                {{"email", " Zoe@Example.com"}, {"password", "gr\xC3\xBC\xC3\x9F" "e 12"}, {"password2", "gr\xC3\xBC\xC3\x9F" "e 12"}}));
    EXPECT_TRUE(browser.Shows("<b>Quorvia</b> &gt; <b>Setup</b>")) << browser.page;
    EXPECT_TRUE(browser.Shows("<b>zoe@example.com</b>"));
    ASSERT_TRUE(m_accounts->Find("zoe@example.com"));
    EXPECT_EQ(Accounts::Outcome::Ok, m_accounts->Check("zoe@example.com", "gr\xC3\xBC\xC3\x9F" "e 12", "x").outcome);
    EXPECT_EQ(200, browser.Get("/index.php/reports")) << "signed in";
    EXPECT_TRUE(browser.Shows("No tracked messages yet"));
}

// Each sign-up costs a password hash: an address gets a few an hour, then a
// refusal that keeps the address typed; another address is not held up.
TEST_F(WebTest, SignUpsAreLimitedPerClientAddress)
{
    auto signUp = [this](const std::string &email, const std::string &from) {
        Browser browser = NewBrowser();
        browser.forwardedFor = from;
        browser.Get("/index.php/memberreg");
        browser.Post("/index.php/memberreg", {{"email", email}, {"password", "pw-long-1"}, {"password2", "pw-long-1"}});
        return browser;
    };
    for (int i = 0; i < 3; ++i) // the limit set up
        EXPECT_EQ(201, signUp("user" + std::to_string(i) + "@example.com", "198.51.100.7").status);
    const Browser refused = signUp("late@example.com", "198.51.100.7");
    EXPECT_EQ(429, refused.status);
    EXPECT_TRUE(refused.Shows("Too many accounts were created from your network")) << refused.page;
    EXPECT_TRUE(refused.Shows("value=\"late@example.com\""));
    EXPECT_FALSE(m_accounts->Find("late@example.com"));
    EXPECT_EQ(201, signUp("late@example.com", "203.0.113.9").status);
}

// The session cookie is Secure, HttpOnly and SameSite=Lax; a POST without
// the page's form token changes nothing; signing out ends the session for
// the pages and the API alike; the API reads with the session but never
// deletes with it.
TEST_F(WebTest, SessionsTakeSafeCookiesFormTokensAndEndAtSignOut)
{
    Browser visitor = NewBrowser();
    EXPECT_EQ(303, visitor.Get("/"));
    EXPECT_EQ("/index.php/signin", visitor.location);
    EXPECT_EQ(403, visitor.Post("/index.php/signin", {{"email", kAnn}, {"password", kAnnPassword}}));
    EXPECT_EQ(0u, visitor.cookies.count("qv_session"));

    Browser ann = SignedIn();
    const std::string line = ann.setCookieLines["qv_session"];
    for (const char *flag : {"; Secure", "; HttpOnly", "; SameSite=Lax", "; Path=/"})
        EXPECT_NE(std::string::npos, line.find(flag)) << line;
    EXPECT_EQ(303, ann.Get("/"));
    EXPECT_EQ("/index.php/reports", ann.location);

    Send("Lunch");
    const std::string id = std::to_string(m_storage->ListMessages(1, 1, std::nullopt).at(0).id);
    ann.Get("/index.php/reports/" + id);
    const std::string token = ann.FormToken();
    EXPECT_EQ(403, ann.Post("/index.php/reports/" + id + "/delete", {{"form_token", std::string(64, '0')}}));
    EXPECT_EQ(403, SignedIn().Post("/index.php/reports/" + id + "/delete", {{"form_token", token}}))
        << "another session's token";
    EXPECT_EQ(200, ann.Get("/index.php/reports/" + id));
    httplib::Result api = ann.Client().Get("/api/v1/messages/" + id, ann.Headers());
    EXPECT_EQ(200, api->status);
    EXPECT_EQ(401, ann.Client().Delete("/api/v1/messages/" + id, ann.Headers())->status);

    const Browser before = ann;
    EXPECT_EQ(303, ann.Post("/index.php/signout", {}));
    EXPECT_EQ(0u, ann.cookies.count("qv_session"));
    Browser stale = before;
    EXPECT_EQ(303, stale.Get("/index.php/reports"));
    EXPECT_EQ("/index.php/signin", stale.location);
    EXPECT_EQ(401, before.Client().Get("/api/v1/messages", before.Headers())->status);
}

TEST_F(WebTest, WrongPasswordsAreRefusedThenLimited)
{
    Browser browser = NewBrowser();
    browser.Get("/index.php/signin");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(401, browser.Post("/index.php/signin", {{"email", kAnn}, {"password", "wrong"}}));
        EXPECT_TRUE(browser.Shows("Wrong e-mail address or password"));
        EXPECT_TRUE(browser.Shows("value=\"ann@example.com\""));
    }
    EXPECT_EQ(429, browser.Post("/index.php/signin", {{"email", kAnn}, {"password", kAnnPassword}}));
    EXPECT_TRUE(browser.Shows("Too many failed sign-ins"));
}

// Subjects are text, never markup; a message turns from not yet to opened
// with a reader's open and says why each open counted; pages go back in
// time; deleting takes the message away.
TEST_F(WebTest, TheReportShowsEscapedMessagesTheirOpensAndPages)
{
    Send("first");
    Send("second");
    const std::string pixel = Send("<script>alert(1)</script> & more");
    Browser ann = SignedIn();
    EXPECT_FALSE(ann.Shows("<script>alert")) << ann.page;
    EXPECT_TRUE(ann.Shows("&lt;script&gt;alert(1)&lt;/script&gt; &amp; more"));
    EXPECT_TRUE(ann.Shows("badge unopened\">Not yet"));
    EXPECT_FALSE(ann.Shows(">first<"));
    std::smatch older;
    ASSERT_TRUE(std::regex_search(ann.page, older, std::regex("href=\"(/index.php/reports\\?before=[0-9]+)\"")));
    ann.Get(older[1].str());
    EXPECT_TRUE(ann.Shows(">first<"));

    httplib::Client client("127.0.0.1", m_port);
    client.Get(pixel, {{"User-Agent", "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Thunderbird/128.5.0"},
                       {"X-Forwarded-For", "203.0.113.7"}});
    client.Get(pixel, {{"User-Agent", "Microsoft Outlook 16.0"}});
    ann.Get("/index.php/reports");
    EXPECT_TRUE(ann.Shows("badge opened\">Opened")) << ann.page;
    EXPECT_TRUE(ann.Shows("first opened <time datetime=\""));
    const int64_t id = m_storage->ListMessages(1, 1, std::nullopt).at(0).id;
    const std::string path = "/index.php/reports/" + std::to_string(id);
    ASSERT_EQ(200, ann.Get(path));
    EXPECT_TRUE(ann.Shows("<h1>&lt;script&gt;"));
    EXPECT_TRUE(ann.Shows("Thunderbird showed the message."));
    EXPECT_TRUE(ann.Shows("No: your own copy"));
    EXPECT_TRUE(ann.Shows("data-watch=\"/api/v1/messages/" + std::to_string(id) + "\""));

    m_accounts->Create("zoe@example.com", "battery staple");
    Browser zoe = SignedIn("zoe@example.com", "battery staple");
    EXPECT_EQ(404, zoe.Get(path));
    EXPECT_EQ(404, zoe.Post(path + "/delete", {}));
    EXPECT_EQ(303, ann.Post(path + "/delete", {}));
    EXPECT_EQ(404, ann.Get(path));
}

// The answer to a reset request tells nothing of the account; the mailed
// link changes the password once, ends the other sessions and the feed's
// remembered sign-in of the old password, and an expired link does nothing.
TEST_F(WebTest, RecoveryMailsALinkThatWorksOnceAndExpires)
{
    Browser other = SignedIn();
    Send("remembered"); // the feed now remembers the old password
    Browser browser = NewBrowser();
    std::string answers[2];
    for (int i = 0; i < 2; ++i) {
        browser.Get("/index.php/memberforgot");
        EXPECT_EQ(200, browser.Post("/index.php/memberforgot", {{"email", i ? "nobody@example.com" : " ANN@example.com"}}));
        answers[i] = std::regex_replace(browser.page, std::regex("<b>[^<]*</b>"), "<b></b>");
    }
    EXPECT_EQ(answers[0], answers[1]);
    std::vector<std::string> mails = Mails(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(1u, Mails(1).size()) << "one mail, for the account that exists";
    const std::string &mail = mails[0];
    for (const char *header : {"\r\nTo: <ann@example.com>\r\n", "From: Quorvia <no-reply@quorvia.example>\r\n",
                               "Date: ", "\r\nMessage-ID: <", "\r\nSubject: Choose a new Quorvia password\r\n"})
        EXPECT_NE(std::string::npos, mail.find(header)) << header << " in\n" << mail;
    std::smatch link;
    ASSERT_TRUE(std::regex_search(mail, link, std::regex("https://quorvia\\.example(/index\\.php/memberreset\\?token=([A-Za-z0-9_-]{43}))\r\n")));
    const std::string path = link[1].str(), token = link[2].str();

    ASSERT_EQ(200, browser.Get(path));
    EXPECT_EQ(422, browser.Post("/index.php/memberreset", {{"token", token}, {"password", "new secret"}, {"password2", "other one"}}));
    EXPECT_TRUE(browser.Shows("differ"));
    EXPECT_EQ(200, browser.Post("/index.php/memberreset", {{"token", token}, {"password", "new secret"}, {"password2", "new secret"}}));
    EXPECT_TRUE(browser.Shows("Every other sign-in of this account has ended"));
    EXPECT_EQ(200, browser.Get("/index.php/reports"));
    EXPECT_EQ(303, other.Get("/index.php/reports"));
    Send("old password", kAnnPassword, 401);
    Send("new password", "new secret", 200);
    EXPECT_EQ(410, browser.Get(path));
    browser.Get("/index.php/memberforgot");
    EXPECT_EQ(410, browser.Post("/index.php/memberreset", {{"token", token}, {"password", "third one"}, {"password2", "third one"}}));

    // Asked again at once, ann gets no second mail; zoe's link, made to have
    // expired, does nothing.
    m_accounts->Create("zoe@example.com", "battery staple");
    for (const char *email : {kAnn, "zoe@example.com"}) {
        browser.Get("/index.php/memberforgot");
        browser.Post("/index.php/memberforgot", {{"email", email}});
    }
    mails = Mails(2);
    ASSERT_EQ(2u, mails.size());
    EXPECT_EQ(1, std::count_if(mails.begin(), mails.end(),
                               [](const std::string &m) { return m.find("To: <zoe@example.com>") != std::string::npos; }));
    sqlite3 *raw = nullptr;
    sqlite3_open((fs::path(m_folder) / "quorvia.db").c_str(), &raw);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "UPDATE password_resets SET expires_at = 0", 0, 0, 0));
    for (const std::string &each : mails)
        if (std::regex_search(each, link, std::regex("(/index\\.php/memberreset\\?token=[A-Za-z0-9_-]{43})")) &&
            link[1].str() != path) {
            EXPECT_EQ(410, browser.Get(link[1].str()));
        }
}

TEST_F(WebTest, DeletingTheAccountTakesThePasswordAndAllItsData)
{
    Send("gone soon");
    Browser ann = SignedIn();
    ASSERT_EQ(200, ann.Get("/index.php/memberdelete"));
    EXPECT_EQ(401, ann.Post("/index.php/memberdelete", {{"password", "wrong"}}));
    EXPECT_TRUE(m_accounts->Find(kAnn));
    EXPECT_EQ(200, ann.Post("/index.php/memberdelete", {{"password", kAnnPassword}}));
    EXPECT_TRUE(ann.Shows("Your account is deleted"));
    EXPECT_EQ(0u, ann.cookies.count("qv_session"));
    EXPECT_FALSE(m_accounts->Find(kAnn));
    EXPECT_TRUE(m_storage->ListMessages(1, 10, std::nullopt).empty());
}
