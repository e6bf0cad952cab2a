// The quorvia-service program as it runs: killed under load, its database
// lost or its disk full, fed bad requests. Each case starts the real program
// on a free loopback port over SQLite in a folder of its own or a schema of
// the tests' private PostgreSQL.
#include "accounts/Accounts.h"
#include "pixel/Pixel.h"
#include "storage/Storage.h"

#include "AddinForm.h"
#include "TestPlaces.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sodium.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <map>
#include <mutex>
#include <regex>
#include <thread>

namespace quorvia {
namespace {

using namespace test;

const std::string kGif(reinterpret_cast<const char *>(kPixelGif), sizeof kPixelGif);
const std::string kForm = AddinForm({"ann@example.com", "correct horse", "bob@example.org", "Lunch"});

// The program, serving until killed; its standard error goes to `log`.
class ServerProcess
{
public:
    ServerProcess(const std::vector<std::string> &storage, const fs::path &log, int port = 0)
    {
        std::vector<std::string> args = {QUORVIA_SERVICE_PROGRAM, "serve", "--listen",
                                         "127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), storage.begin(), storage.end());
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe");
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), STDERR_FILENO);
            std::vector<char *> argv;
            for (std::string &arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // "Quorvia service listening on http://127.0.0.1:PORT (...)"
        std::string said;
        char buffer[256];
        pollfd ready{out[0], POLLIN, 0};
        while (said.find('\n') == std::string::npos && poll(&ready, 1, 10000) == 1) {
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            said.append(buffer, n);
        }
        close(out[0]);
        std::smatch listening;
        if (!std::regex_search(said, listening, std::regex(":([0-9]+) \\(")))
            throw std::runtime_error("the service did not start: " + said);
        m_port = std::stoi(listening[1]);
    }
    ~ServerProcess() { Kill(); }
    void Kill()
    {
        if (m_pid > 0 && kill(m_pid, SIGKILL) == 0)
            waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    httplib::Client Client() const
    {
        httplib::Client client("127.0.0.1", m_port);
        client.set_connection_timeout(2);
        client.set_read_timeout(10);
        return client;
    }
    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// The token of a fragment, or "".
std::string TokenOf(const httplib::Result &reply)
{
    std::smatch found;
    if (!reply || reply->status != 200 || !std::regex_search(reply->body, found, std::regex("/t/([A-Za-z0-9_-]{22})\\.gif")))
        return std::string();
    return found[1];
}

std::string Read(const fs::path &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

class ProcessTest : public testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        if (GetParam() == "Postgres") {
            try {
                m_schema = std::make_unique<PostgresSchema>();
            } catch (const std::exception &e) {
                FAIL() << e.what();
            }
        }
        auto storage = OpenStorage();
        m_account = Accounts(*storage).Create("ann@example.com", "correct horse");
    }
    std::vector<std::string> Options() const
    {
        return m_schema ? std::vector<std::string>{"--database", m_schema->Url()}
                        : std::vector<std::string>{"--data", (m_dir.path / "data").string()};
    }
    std::unique_ptr<Storage> OpenStorage() const
    {
        return m_schema ? OpenPostgres(m_schema->Url()) : OpenSqlite(m_dir.path / "data");
    }
    size_t OpensOf(Storage &storage, const std::string &token) const
    {
        const auto target = storage.FindToken(token);
        return target ? storage.GetMessage(m_account, target->messageId)->opens.size() : 0;
    }

    TempDir m_dir;
    std::unique_ptr<PostgresSchema> m_schema;
    int64_t m_account = 0;
};

// Feed posts and pixel fetches go on from several clients when the program
// is killed; every message whose fragment came back and every open whose GIF
// came back is in the database the restarted program serves.
TEST_P(ProcessTest, KilledUnderLoadItKeepsEveryAnsweredMessageAndOpen)
{
    auto server = std::make_unique<ServerProcess>(Options(), m_dir.path / "log");
    std::mutex mutex;
    std::vector<std::string> tokens;
    std::map<std::string, size_t> opens; // answered with the GIF
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 3; ++i)
        clients.emplace_back([&] {
            httplib::Client client = server->Client();
            while (!stop) {
                const std::string token = TokenOf(client.Post("/index.php/messagefeed", kForm, "application/x-www-form-urlencoded"));
                std::lock_guard<std::mutex> lock(mutex);
                if (!token.empty())
                    tokens.push_back(token);
            }
        });
    for (int i = 0; i < 3; ++i)
        clients.emplace_back([&, i] {
            httplib::Client client = server->Client();
            for (size_t n = i; !stop; ++n) {
                std::string token;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!tokens.empty())
                        token = tokens[n % tokens.size()];
                }
                if (token.empty()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                httplib::Result reply = client.Get("/t/" + token + ".gif", {{"User-Agent", "Thunderbird/128.5"}});
                std::lock_guard<std::mutex> lock(mutex);
                if (reply && reply->status == 200 && reply->body == kGif)
                    ++opens[token];
            }
        });
    for (int waited = 0; waited < 100; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(mutex);
        if (tokens.size() >= 100 && opens.size() >= 50)
            break;
    }
    server->Kill();
    stop = true;
    for (std::thread &client : clients)
        client.join();
    ASSERT_GE(tokens.size(), 20u) << Read(m_dir.path / "log");
    ASSERT_GE(opens.size(), 10u) << Read(m_dir.path / "log");

    // Restarted where it was, though the killed run's connections linger in
    // TIME_WAIT there; a second instance on that port is refused, not let in.
    const int port = server->Port();
    server = std::make_unique<ServerProcess>(Options(), m_dir.path / "log", port);
    EXPECT_THROW(ServerProcess(Options(), m_dir.path / "second.log", port), std::runtime_error);
    const std::string after = TokenOf(server->Client().Post("/index.php/messagefeed", kForm, "application/x-www-form-urlencoded"));
    EXPECT_FALSE(after.empty());
    auto storage = OpenStorage();
    for (const std::string &token : tokens)
        EXPECT_TRUE(storage->FindToken(token)) << token;
    for (const auto &[token, count] : opens)
        EXPECT_LE(count, OpensOf(*storage, token)) << token;
}

INSTANTIATE_TEST_SUITE_P(Places, ProcessTest, testing::Values("Sqlite", "Postgres"),
                         [](const testing::TestParamInfo<std::string> &info) { return info.param; });

// While the database cannot be written the feed and the pixel answer 503 and
// the program says why; nothing of those requests is kept; once it can
// be written again the same program serves again.
// `open` gives a storage of the test's own, for a look behind the program's back.
void ExpectUnavailableThenRecovered(const ServerProcess &server, const std::function<std::unique_ptr<Storage>()> &open,
                                    const std::string &token, const fs::path &log, const std::function<void()> &lose,
                                    const std::function<void()> &restore)
{
    httplib::Client client = server.Client();
    lose();
    httplib::Result feed = client.Post("/index.php/messagefeed", kForm, "application/x-www-form-urlencoded");
    ASSERT_TRUE(feed);
    EXPECT_EQ(503, feed->status);
    httplib::Result pixel = client.Get("/t/" + token + ".gif");
    ASSERT_TRUE(pixel);
    EXPECT_EQ(503, pixel->status);
    EXPECT_NE(std::string::npos, Read(log).find("storage unavailable (feed)")) << Read(log);
    restore();
    const std::string after = TokenOf(client.Post("/index.php/messagefeed", kForm, "application/x-www-form-urlencoded"));
    ASSERT_FALSE(after.empty());
    pixel = client.Get("/t/" + token + ".gif");
    ASSERT_TRUE(pixel);
    EXPECT_EQ(200, pixel->status);
    auto storage = open();
    const auto target = storage->FindToken(token);
    ASSERT_TRUE(target);
    EXPECT_EQ(1u, storage->GetMessage(target->accountId, target->messageId)->opens.size());
}

TEST(ProcessPostgres, ALostServerAnswers503AndTheProgramRecoversWithoutARestart)
{
    std::unique_ptr<PostgresSchema> schema;
    ASSERT_NO_THROW(schema = std::make_unique<PostgresSchema>());
    auto storage = OpenPostgres(schema->Url());
    Accounts(*storage).Create("ann@example.com", "correct horse");
    TempDir dir;
    ServerProcess server({"--database", schema->Url()}, dir.path / "log");
    const std::string token = TokenOf(server.Client().Post("/index.php/messagefeed", kForm, "application/x-www-form-urlencoded"));
    ASSERT_FALSE(token.empty());
    ExpectUnavailableThenRecovered(server, [&] { return OpenPostgres(schema->Url()); }, token, dir.path / "log",
                                   [] { PostgresScript("pause"); },
                                   [] { PostgresScript("start"); });
}

TEST(ProcessSqlite, AFullDiskAnswers503KeepsNoHalfRowAndRecovers)
{
    TempDir dir, logs; // the log where there is room
    SmallDisk disk(dir.path);
    if (!disk.failure.empty())
        GTEST_SKIP() << disk.failure;
    auto storage = OpenSqlite(dir.path / "data");
    const int64_t ann = Accounts(*storage).Create("ann@example.com", "correct horse");
    ServerProcess server({"--data", (dir.path / "data").string()}, logs.path / "log");
    const std::string token = TokenOf(server.Client().Post("/index.php/messagefeed", kForm, "application/x-www-form-urlencoded"));
    ASSERT_FALSE(token.empty());
    ExpectUnavailableThenRecovered(server, [&] { return OpenSqlite(dir.path / "data"); }, token, logs.path / "log",
                                   [&] { disk.Fill(); },
                                   [&] { disk.MakeRoom(); });
    EXPECT_EQ(2u, storage->ListMessages(ann, 10, std::nullopt).size()); // none from the refused post
}

// What a client sends on one connection, raw: the first line of the answer,
// or "" when the server closes without one (it may wait up to 15 s).
std::string RawExchange(int port, const std::string &request)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        send(s, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        pollfd ready{s, POLLIN, 0};
        ssize_t n = -1;
        while (answer.find("\r\n") == std::string::npos && poll(&ready, 1, 15000) == 1 &&
               (n = recv(s, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, n);
        if (n < 0)
            answer = "(no answer and not closed)";
    }
    close(s);
    return answer.substr(0, answer.find("\r\n"));
}

// Whatever a client sends, the answer is a clear 4xx or the GIF, never a 5xx,
// and the program goes on serving; a client that sends nothing more is let go.
TEST(ProcessInput, BadRequestsGetA4xxOrTheGifAndSlowClientsAreLetGo)
{
    TempDir dir;
    {
        auto storage = OpenSqlite(dir.path / "data");
        Accounts(*storage).Create("ann@example.com", "correct horse");
    }
    ServerProcess server({"--data", (dir.path / "data").string()}, dir.path / "log");
    const auto post = [](const std::string &body, std::string headers = "") {
        if (headers.empty())
            headers = "Content-Length: " + std::to_string(body.size()) + "\r\n";
        return "POST /index.php/messagefeed HTTP/1.1\r\nHost: q\r\nConnection: close\r\n"
               "Content-Type: application/x-www-form-urlencoded\r\n" +
               headers + "\r\n" + body;
    };
    const auto get = [](const std::string &path) { return "GET " + path + " HTTP/1.1\r\nHost: q\r\nConnection: close\r\n\r\n"; };
    std::string chunked;
    for (int i = 0; i < 20; ++i)
        chunked += "1000\r\n" + std::string(4096, '%') + "\r\n";
    const std::pair<std::string, const char *> cases[] = {
        {get("/t/" + std::string(22, '.') + ".gif"), "200"},
        {get("/t/%2e%2e%2fAAAAAAAAAAAAAAAAAAAA.gif"), "404"}, // decoded: /t/../AAAA....gif
        {get("/t/%zz%.gif"), "200"},
        {get("/t/%C0%AF%00%FF" + std::string(18, 'A') + ".gif"), "200"},
        {get("/t/" + std::string(8000, 'A') + ".gif"), "200"},
        {get("/t/" + std::string(9000, 'A') + ".gif"), "414"},
        {get("/t/a/b.gif"), "404"},
        {"GARBAGE\r\n\r\n", "400"},
        {"GET /t/x.gif HTTP/1.1\r\nConnection: close\r\nX-Long: " + std::string(9000, 'x') + "\r\n\r\n", "400"},
        {post("login=%zz&password=&to=&subj=&raw=1"), "400"},
        {post("login=&password=&to=%41&subj=&raw=1"), "400"},
        {post("login=&password=&tz=&to=&subj=&raw=1"), "400"},
        {post(kForm + "&" + std::string(kMaxFeedForm, 'x')), "413"},
        {post("login=", "Content-Length: 99999999999\r\n"), "413"},
        {post("login=", "Content-Length: -5\r\n"), "413"},
        {post(chunked + "0\r\n\r\n", "Transfer-Encoding: chunked\r\n"), "413"},
        {post("zz\r\nlogin\r\n0\r\n\r\n", "Transfer-Encoding: chunked\r\n"), "400"},
    };
    for (const auto &[request, status] : cases) {
        SCOPED_TRACE(request.substr(0, 100));
        EXPECT_EQ(std::string("HTTP/1.1 ") + status, RawExchange(server.Port(), request).substr(0, 12));
    }
    // A client that stops halfway through its headers holds a thread no longer than the read timeout.
    std::vector<std::thread> slow;
    for (int i = 0; i < 4; ++i)
        slow.emplace_back([&] { EXPECT_EQ("", RawExchange(server.Port(), "GET /t/AAAA")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    httplib::Result healthy = server.Client().Get("/healthz");
    ASSERT_TRUE(healthy);
    EXPECT_EQ(200, healthy->status);
    for (std::thread &thread : slow)
        thread.join();
    EXPECT_EQ(std::string::npos, Read(dir.path / "log").find("failed")) << Read(dir.path / "log");
}

} // namespace
} // namespace quorvia
