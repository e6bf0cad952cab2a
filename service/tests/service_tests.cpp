// The service over HTTP, as the add-in, a recipient's mail client and the
// sender's API client meet it: a real server on a free loopback port, SQLite
// in a folder of its own.
#include "accounts/Accounts.h"
#include "http/Service.h"
#include "pixel/Pixel.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

using namespace quorvia;

namespace {

// The add-in's form: every byte %XX, recipients and subject as UTF-16LE.
std::string Escaped(const std::string &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string Utf16(const std::u16string &text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string Form(const std::string &login, const std::string &password, const std::u16string &to = u"bob@example.org",
                 const std::u16string &subject = u"Lunch")
{
    return "login=" + Escaped(login) + "&password=" + Escaped(password) + "&to=" + Escaped(Utf16(to)) +
           "&subj=" + Escaped(Utf16(subject)) + "&raw=1";
}

class ServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        char folder[] = "/tmp/quorvia-service-test.XXXXXX";
        ASSERT_TRUE(mkdtemp(folder));
        m_folder = folder;
        m_storage = OpenSqlite(m_folder);
        AccountLimits limits;
        limits.failures = 3;
        m_accounts = std::make_unique<Accounts>(*m_storage, limits);
        m_accounts->Create("ann@example.com", "correct horse");
        m_accounts->Create("zoe@example.com", "battery staple");
        ServiceSettings settings;
        settings.publicUrl = "https://pixels.example";
        settings.pageSize = 2;
        settings.trustForwardedFor = true; // recipients come through X-Forwarded-For, the sender is 127.0.0.1
        m_service = std::make_unique<Service>(*m_storage, *m_accounts, settings);
        m_service->Install(m_server);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void TearDown() override
    {
        m_server.stop();
        m_thread.join();
        m_service.reset();
        m_accounts.reset();
        m_storage.reset();
        std::filesystem::remove_all(m_folder);
    }

    httplib::Client Client() const
    {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(10, 0);
        return client;
    }

    httplib::Result Post(const std::string &body) const
    {
        return Client().Post("/index.php/messagefeed", body, "application/x-www-form-urlencoded");
    }

    // A message sent by ann: its pixel's path.
    std::string Send(const std::u16string &subject = u"Lunch")
    {
        httplib::Result reply = Post(Form("ann@example.com", "correct horse", u"bob@example.org", subject));
        EXPECT_TRUE(reply && reply->status == 200);
        std::smatch found;
        const std::string body = reply ? reply->body : std::string();
        EXPECT_TRUE(std::regex_search(body, found, std::regex("src=\"https://pixels\\.example(/t/[^\"]+\\.gif)\"")))
            << body;
        return found.size() > 1 ? found[1].str() : std::string();
    }

    nlohmann::json Api(const std::string &path, const char *user = "ann@example.com",
                       const char *password = "correct horse", int status = 200)
    {
        httplib::Client client = Client();
        client.set_basic_auth(user, password);
        httplib::Result reply = client.Get(path);
        EXPECT_TRUE(reply);
        if (!reply)
            return nullptr;
        EXPECT_EQ(status, reply->status) << reply->body;
        return status == 200 ? nlohmann::json::parse(reply->body) : nlohmann::json(nullptr);
    }

    std::string m_folder;
    std::unique_ptr<Storage> m_storage;
    std::unique_ptr<Accounts> m_accounts;
    std::unique_ptr<Service> m_service;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

} // namespace

// The feed answers a committed message with a fragment, and every refusal
// with its status and reason.
TEST_F(ServiceTest, TheFeedAnswersEachFormWithItsStatus)
{
    struct Case
    {
        const char *what;
        std::string body;
        int status;
        const char *says;
    };
    const Case cases[] = {
        {"the add-in's form", Form("ann@example.com", "correct horse"), 200, "alt=\"qvmk\""},
        {"a login in any case", Form("Ann@Example.COM", "correct horse"), 200, "alt=\"qvmk\""},
        {"a wrong password", Form("ann@example.com", "wrong"), 401, "wrong login or password"},
        {"no such account", Form("nobody@example.com", "correct horse"), 401, "wrong login or password"},
        {"a malformed form", "login=%6&password=&to=&subj=&raw=1", 400, "malformed form"},
        {"over 64 KB", std::string(70 * 1024, 'x'), 413, "64 KB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        httplib::Result reply = Post(c.body);
        ASSERT_TRUE(reply);
        EXPECT_EQ(c.status, reply->status);
        EXPECT_NE(std::string::npos, reply->body.find(c.says)) << reply->body;
    }
    // The one message sent per account is all there is.
    EXPECT_EQ(2u, Api("/api/v1/messages")["messages"].size());
    // Past the limit of failures even the right password is refused for a while.
    for (int i = 0; i < 2; ++i)
        Post(Form("ann@example.com", "wrong"));
    httplib::Result limited = Post(Form("ann@example.com", "correct horse"));
    ASSERT_TRUE(limited);
    EXPECT_EQ(429, limited->status);
}

// Every pixel request gets the same image and no cache; an open is recorded
// only for a token that is one, with its kind: the sender's own Outlook (the
// address the feed post came from) is told apart from a recipient's client.
TEST_F(ServiceTest, ThePixelAlwaysAnswersTheGifAndRecordsOnlyKnownTokens)
{
    const std::string pixel = Send(u"Quarterly \u4E2D");
    ASSERT_FALSE(pixel.empty());
    const std::string thunderbird = "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Thunderbird/128.5.0";
    const httplib::Headers recipient = {{"User-Agent", thunderbird}, {"X-Forwarded-For", "10.9.9.9, 203.0.113.7"}};
    const httplib::Headers sender = {{"User-Agent", "Microsoft Outlook 16.0"}};
    for (const std::string &path : {pixel, std::string("/t/AAAAAAAAAAAAAAAAAAAAAA.gif"), std::string("/t/x.gif"),
                                    std::string("/t/%00%FF.gif")}) {
        SCOPED_TRACE(path);
        httplib::Result reply = Client().Get(path, recipient);
        ASSERT_TRUE(reply);
        EXPECT_EQ(200, reply->status);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(kPixelGif), 43), reply->body);
        EXPECT_EQ("image/gif", reply->get_header_value("Content-Type"));
        EXPECT_NE(std::string::npos, reply->get_header_value("Cache-Control").find("no-store"));
    }
    httplib::Result head = Client().Head(pixel, sender);
    ASSERT_TRUE(head);
    EXPECT_EQ(200, head->status);

    const nlohmann::json message = Api("/api/v1/messages")["messages"][0];
    EXPECT_EQ("Quarterly \u4E2D", message["subject"]);
    EXPECT_EQ("bob@example.org", message["recipients"]);
    EXPECT_EQ("opened", message["status"]);
    ASSERT_EQ(2u, message["opens"].size());
    EXPECT_EQ("person", message["opens"][0]["kind"]);
    EXPECT_EQ(thunderbird, message["opens"][0]["client"]);
    EXPECT_EQ("203.0.113.0/24", message["opens"][0]["address"]);
    EXPECT_EQ("sender", message["opens"][1]["kind"]);
    EXPECT_EQ("sender-address", message["opens"][1]["rule"]);
    EXPECT_EQ(message["opens"][0]["at"], message["first_opened_at"]);
}

// The API shows an account its own messages only, newest first in pages, and
// deletes them with their opens.
TEST_F(ServiceTest, TheApiShowsAndDeletesOnlyTheAccountsOwnMessages)
{
    Send(u"first");
    Send(u"second");
    Send(u"third");
    const nlohmann::json page = Api("/api/v1/messages");
    ASSERT_EQ(2u, page["messages"].size());
    EXPECT_EQ("third", page["messages"][0]["subject"]);
    EXPECT_EQ("unopened", page["messages"][0]["status"]);
    EXPECT_TRUE(page["messages"][0]["first_opened_at"].is_null());
    const nlohmann::json rest = Api(page["next"].get<std::string>());
    ASSERT_EQ(1u, rest["messages"].size());
    EXPECT_EQ("first", rest["messages"][0]["subject"]);
    EXPECT_TRUE(rest["next"].is_null());

    const std::string first = "/api/v1/messages/" + std::to_string(rest["messages"][0]["id"].get<int64_t>());
    EXPECT_EQ("first", Api(first)["subject"]);
    Api(first, "zoe@example.com", "battery staple", 404);
    Api(first, "ann@example.com", "wrong", 401);
    Api("/api/v1/messages?limit=x", "ann@example.com", "correct horse", 400);
    httplib::Client client = Client();
    client.set_basic_auth("zoe@example.com", "battery staple");
    EXPECT_EQ(404, client.Delete(first)->status);
    client.set_basic_auth("ann@example.com", "correct horse");
    EXPECT_EQ(204, client.Delete(first)->status);
    Api(first, "ann@example.com", "correct horse", 404);
    EXPECT_EQ(200, Client().Get("/healthz")->status);
}
