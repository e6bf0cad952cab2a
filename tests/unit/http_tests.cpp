// HttpRetriever against the stand-in tracking service on loopback: what a
// request puts on the wire, and what comes back of every kind of answer.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "com/Identity.h"
#include "host/TrackingService.h"
#include "http/HttpRetriever.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

// Allocation failure on demand: while armed, every allocation of at least that
// many bytes fails, as it would in a process whose address space is exhausted.
static std::atomic<size_t> g_failAllocationsFrom{0};

void *operator new(size_t size)
{
    size_t limit = g_failAllocationsFrom.load();
    if (limit && size >= limit)
        throw std::bad_alloc();
    if (void *p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
// These replace the global pair, so malloc'ed memory is what operator new gives.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
#pragma GCC diagnostic pop

namespace {

using host::Answer;
using host::ReceivedRequest;
using host::TrackingService;

const DWORD kPlainFlags = 0x04200000;  // INTERNET_FLAG_NO_CACHE_WRITE | NO_AUTO_REDIRECT
const DWORD kSecureFlags = 0x04A00000; // ... | SECURE, and no certificate error ignored
const char kAgent[] = "Brenn Software HTTP Retriever 1.0";
const char kFeedPath[] = "/index.php/messagefeed";

struct ArmAllocationFailure
{
    explicit ArmAllocationFailure(size_t from) { g_failAllocationsFrom = from; }
    ~ArmAllocationFailure() { g_failAllocationsFrom = 0; }
};

// A port on 127.0.0.1 on which nothing listens: taken from the system, then let go.
unsigned short ClosedPort()
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    int length = sizeof where;
    bind(s, (sockaddr *)&where, sizeof where);
    getsockname(s, (sockaddr *)&where, &length);
    closesocket(s);
    WSACleanup();
    return ntohs(where.sin_port);
}

bool IsLiveInternetHandle(HINTERNET h)
{
    DWORD type = 0, size = sizeof type;
    return h && InternetQueryOptionA(h, INTERNET_OPTION_HANDLE_TYPE, &type, &size);
}

// The parts of a POST the retriever decides; WinInet adds Host, Content-Length
// and its own headers around them.
void ExpectFormPost(const ReceivedRequest &request, const std::string &path, const std::string &body)
{
    SCOPED_TRACE(request.head);
    EXPECT_TRUE(request.complete);
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ(path, request.target);
    EXPECT_EQ("HTTP/1.1", request.version);
    EXPECT_EQ(kAgent, request.Header("User-Agent"));
    EXPECT_EQ(1u, request.HeaderCount("User-Agent"));
    EXPECT_EQ("*/*", request.Header("Accept"));
    // The form header exactly as given: once, and with no stray line end of its own.
    EXPECT_EQ(1u, request.HeaderCount("Content-Type"));
    EXPECT_NE(std::string::npos, request.head.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_EQ(std::to_string(body.size()), request.Header("Content-Length"));
    EXPECT_EQ(body, request.body);
}

class HttpRetrieverTest : public ::testing::Test
{
protected:
    TrackingService service{0};
    HttpRetriever retriever;

    void SetUp() override { ASSERT_TRUE(service.Listening()); }
};

TEST_F(HttpRetrieverTest, PostSendsFormHeaderAgentPathAndBody)
{
    service.SetAnswer(Answer::Fragment("<img src=\"http://t/1.gif\">"));
    const char body[] = "login=%61%62%63&password=%70&to=%61%00&subj=&raw=1";

    const char *reply = retriever.Retrieve(service.Url(kFeedPath).c_str(), 1, body, -1);

    ASSERT_NE(nullptr, reply);
    EXPECT_STREQ("<img src=\"http://t/1.gif\">", reply);
    EXPECT_EQ(200u, retriever.LastStatus());
    EXPECT_EQ(0u, retriever.LastError());
    auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    ExpectFormPost(requests[0], kFeedPath, body);
    EXPECT_EQ("127.0.0.1:" + std::to_string(service.Port()), requests[0].Header("Host"));
}

// The add-in's own address is https: through the namespace's trusted TLS front.
TEST(HttpRetrieverFixedUrl, PostReachesTheServiceAtItsHostNameOverTls)
{
    TrackingService service; // 127.0.0.1:80, behind the TLS front on 443 for the service's host name
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment("<img>"));
    HttpRetriever retriever;

    const char *reply = retriever.Retrieve(QUORVIA_MESSAGEFEED_URL, 1, "login=&password=&to=&subj=&raw=1", -1);

    ASSERT_NE(nullptr, reply);
    EXPECT_STREQ("<img>", reply);
    EXPECT_EQ(kSecureFlags, retriever.LastRequestFlags());
    auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    ExpectFormPost(requests[0], kFeedPath, "login=&password=&to=&subj=&raw=1");
    EXPECT_EQ(QUORVIA_SERVICE_HOST, requests[0].Header("Host"));
}

TEST_F(HttpRetrieverTest, LengthSelectsTheBodyBytes)
{
    static const char data[] = "abc\0def";
    struct Case
    {
        int length;
        std::string sent;
    } cases[] = {
        {-1, "abc"},                          // up to the terminator
        {7, std::string("abc\0def", 7)},      // an explicit length goes past a zero byte
        {2, "ab"},                            // ... and stops short of the terminator
        {0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        HttpRetriever own;
        ASSERT_NE(nullptr, own.Retrieve(service.Url("/form").c_str(), 1, data, c.length));
    }
    auto requests = service.Requests();
    ASSERT_EQ(4u, requests.size());
    for (size_t i = 0; i < 4; ++i)
        ExpectFormPost(requests[i], "/form", cases[i].sent);
}

TEST(HttpRetrieverFlags, TlsFollowsTheSchemeNotThePort)
{
    struct Case
    {
        const char *url;
        DWORD flags;
    } cases[] = {
        {"http://www.quorvia.com/index.php/messagefeed", kPlainFlags},
        {"http://www.quorvia.com:80/index.php/messagefeed", kPlainFlags},
        {"http://www.quorvia.com:8080/index.php/messagefeed", kPlainFlags},
        {"http://127.0.0.1:443/x", kPlainFlags},
        {"https://www.quorvia.com/index.php/messagefeed", kSecureFlags},
        {"https://www.quorvia.com:80/index.php/messagefeed", kSecureFlags},
        {"https://127.0.0.1:8443/x", kSecureFlags},
        {"HTTPS://www.quorvia.com/x", kSecureFlags},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.flags, HttpRetriever::RequestFlagsFor(c.url)) << c.url;
}

TEST(HttpRetrieverFlags, PlainHttpOnPort8080IsSentInTheClear)
{
    TrackingService service(8080);
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment("ok"));
    HttpRetriever retriever;

    const char *reply = retriever.Retrieve("http://127.0.0.1:8080/index.php/messagefeed", 1, "raw=1", -1);

    ASSERT_NE(nullptr, reply);
    EXPECT_STREQ("ok", reply);
    EXPECT_EQ(kPlainFlags, retriever.LastRequestFlags());
    auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    ExpectFormPost(requests[0], kFeedPath, "raw=1");
}

TEST_F(HttpRetrieverTest, HttpsPostOpensWithTls)
{
    // The stand-in speaks plain HTTP, so the handshake fails; what matters is
    // that the POST asked for TLS and a TLS handshake, not a request, arrived.
    std::string url = "https://127.0.0.1:" + std::to_string(service.Port()) + "/index.php/messagefeed";

    const char *reply = retriever.Retrieve(url.c_str(), 1, "raw=1", -1);

    EXPECT_EQ(nullptr, reply);
    EXPECT_EQ(kSecureFlags, retriever.LastRequestFlags());
    EXPECT_EQ((DWORD)ERROR_INTERNET_SECURITY_CHANNEL_ERROR, retriever.LastError());
    auto requests = service.Requests();
    // WinInet tries the handshake more than once before it gives up.
    ASSERT_GE(requests.size(), 1u);
    for (const ReceivedRequest &request : requests) {
        EXPECT_FALSE(request.complete);
        ASSERT_FALSE(request.head.empty());
        EXPECT_EQ(0x16, (unsigned char)request.head[0]) << "not a TLS handshake record";
    }
}

TEST_F(HttpRetrieverTest, EmptyBodyGivesEmptyTextNotNull)
{
    service.SetAnswer(Answer::Empty());
    for (BYTE post : {1, 0}) {
        SCOPED_TRACE(post ? "POST" : "GET");
        const char *reply = retriever.Retrieve(service.Url(post ? "/post" : "/get").c_str(), post, "raw=1", -1);
        ASSERT_NE(nullptr, reply);
        EXPECT_STREQ("", reply);
        EXPECT_EQ(200u, retriever.LastStatus());
    }
}

TEST(HttpRetrieverFailure, NothingListeningGivesNullAndTheError)
{
    std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/index.php/messagefeed";
    for (BYTE post : {1, 0}) {
        SCOPED_TRACE(post ? "POST" : "GET");
        HttpRetriever retriever;
        EXPECT_EQ(nullptr, retriever.Retrieve(url.c_str(), post, "raw=1", -1));
        EXPECT_EQ((DWORD)ERROR_INTERNET_CANNOT_CONNECT, retriever.LastError());
        EXPECT_EQ(0u, retriever.LastStatus());
    }
}

TEST(HttpRetrieverFailure, NullUrlGivesNullAndAllOnesError)
{
    for (BYTE post : {1, 0}) {
        SCOPED_TRACE(post ? "POST" : "GET");
        HttpRetriever retriever;
        EXPECT_EQ(nullptr, retriever.Retrieve(nullptr, post, "raw=1", -1));
        EXPECT_EQ(0xFFFFFFFFu, retriever.LastError());
    }
}

TEST_F(HttpRetrieverTest, LongRepliesArriveWholeAcrossReads)
{
    // Each read takes at most 8191 bytes, so both need many reads.
    for (size_t size : {size_t(20000), size_t(5u << 20)}) {
        SCOPED_TRACE(size);
        service.QueueAnswer(Answer::Large(size));
        const char *reply = retriever.Retrieve(service.Url(kFeedPath).c_str(), 1, "raw=1", -1);
        ASSERT_NE(nullptr, reply);
        ASSERT_EQ(size, strlen(reply));
        EXPECT_TRUE(host::LargeBody(size) == reply) << "reply differs from what was sent";
    }
}

TEST_F(HttpRetrieverTest, SecondRetrieveClosesTheFirstAndReplacesTheReply)
{
    service.QueueAnswer(Answer::Fragment("first"));
    service.QueueAnswer(Answer::Fragment("second reply"));

    const char *first = retriever.Retrieve(service.Url("/one").c_str(), 1, "a=1", -1);
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("first", first);
    HINTERNET firstRequest = retriever.RequestHandle(), firstConnect = retriever.ConnectHandle();
    ASSERT_TRUE(IsLiveInternetHandle(firstRequest));
    ASSERT_TRUE(IsLiveInternetHandle(firstConnect));

    const char *second = retriever.Retrieve(service.Url("/two").c_str(), 1, "b=2", -1);
    ASSERT_NE(nullptr, second);
    EXPECT_STREQ("second reply", second);

    // A handle value still alive can only be one the retriever holds now
    // (WinInet may hand a freed value out again).
    HINTERNET current[] = {retriever.RequestHandle(), retriever.ConnectHandle()};
    for (HINTERNET old : {firstRequest, firstConnect}) {
        bool reused = old == current[0] || old == current[1];
        EXPECT_TRUE(reused || !IsLiveInternetHandle(old)) << "handle of the first request left open";
    }
    auto requests = service.Requests();
    ASSERT_EQ(2u, requests.size());
    ExpectFormPost(requests[0], "/one", "a=1");
    ExpectFormPost(requests[1], "/two", "b=2");
}

TEST_F(HttpRetrieverTest, FailedRequestLeavesTheEarlierReply)
{
    service.SetAnswer(Answer::Fragment("kept"));
    const char *first = retriever.Retrieve(service.Url("/one").c_str(), 1, "a=1", -1);
    ASSERT_NE(nullptr, first);

    std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
    EXPECT_EQ(nullptr, retriever.Retrieve(closed.c_str(), 1, "a=1", -1));
    EXPECT_EQ(nullptr, retriever.Retrieve(nullptr, 1, "a=1", -1));

    EXPECT_STREQ("kept", first);
}

TEST_F(HttpRetrieverTest, StatusOfTheLastRequestIsReportedAndTheBodyReturned)
{
    struct Case
    {
        Answer answer;
        DWORD status;
    } cases[] = {
        {Answer::Fragment("<img>"), 200},
        {Answer::Error(401), 401},
        {Answer::Error(403), 403},
        {Answer::Error(500), 500},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        service.QueueAnswer(c.answer);
        for (BYTE post : {1, 0}) {
            if (!post)
                service.QueueAnswer(c.answer);
            const char *reply = retriever.Retrieve(service.Url(post ? "/p" : "/g").c_str(), post, "raw=1", -1);
            ASSERT_NE(nullptr, reply);
            EXPECT_EQ(c.answer.body, reply);
            EXPECT_EQ(c.status, retriever.LastStatus());
        }
    }
}

TEST_F(HttpRetrieverTest, SlowAnswerIsWaitedFor)
{
    service.SetAnswer(Answer::Fragment("late").Delayed(2000));
    DWORD start = GetTickCount();
    const char *reply = retriever.Retrieve(service.Url(kFeedPath).c_str(), 1, "raw=1", -1);
    ASSERT_NE(nullptr, reply);
    EXPECT_STREQ("late", reply);
    EXPECT_GE(GetTickCount() - start, 1900u);
}

TEST_F(HttpRetrieverTest, DroppedConnectionGivesNoReplyOrAnEmptyOneWithoutStatus)
{
    // A connection closed before any status line: Windows' WinInet fails the
    // send (no reply); Wine 8 reports the send as made and reads an empty
    // reply with no status to query. Either way no 2xx reply comes back, which
    // is what lets the caller tell a dropped connection from an answer.
    service.SetAnswer(Answer::Dropped());
    for (BYTE post : {1, 0}) {
        SCOPED_TRACE(post ? "POST" : "GET");
        HttpRetriever own;
        const char *reply = own.Retrieve(service.Url(post ? "/p" : "/g").c_str(), post, "raw=1", -1);
        if (reply) {
            EXPECT_STREQ("", reply);
        } else {
            EXPECT_NE(0u, own.LastError());
        }
        EXPECT_EQ(0u, own.LastStatus());
    }
}

// Zero bytes come back as they were sent: whoever reads the reply decides
// what they mean (a fragment must have none).
TEST_F(HttpRetrieverTest, ZeroBytesArriveAsTheyWereSent)
{
    const std::string bodies[] = {std::string("abc\0def", 7), std::string(100, 'x') + '\0' + std::string(9000, 'y')};
    for (const std::string &body : bodies) {
        SCOPED_TRACE(body.size());
        service.QueueAnswer(Answer::Fragment(body));
        ASSERT_NE(nullptr, retriever.Retrieve(service.Url(kFeedPath).c_str(), 1, "raw=1", -1));
        EXPECT_EQ(body, retriever.Reply());
        EXPECT_TRUE(retriever.ReplyComplete());
    }
}

// A redirect is not followed (it would take the account, or fetch the reply,
// somewhere else); a reply larger than the limit is cut; a reply shorter than
// its Content-Length is not complete; the headers that judge a reply are kept.
TEST_F(HttpRetrieverTest, TheReplyIsTakenAsItComesAndJudgedByWhatItSaysOfItself)
{
    struct Case
    {
        const char *what;
        Answer answer;
        DWORD status;
        size_t size; // bytes read
        bool complete, cut;
        const char *encoding, *type;
    };
    const Case cases[] = {
        {"redirect", Answer::Redirect("http://127.0.0.1:9/elsewhere"), 302, 5, true, false,
         "", "text/html"},
        {"larger than the limit", Answer::Large(200000), 200, 16384 + 8191, false, true, "", "text/html"},
        {"cut short", Answer::Fragment("<img alt=qvmk").Declaring(100), 200, 13, false, false, "", "text/html"},
        {"encoded", Answer::Fragment("x").WithHeader("Content-Encoding: gzip").WithHeader(
                        "Content-Type: text/html; charset=iso-8859-1"),
         200, 1, true, false, "gzip", "text/html; charset=iso-8859-1"},
        {"a long header", Answer::Fragment("x").WithHeader("Content-Encoding: gzip" + std::string(400, ' ') + "x"),
         200, 1, true, false, nullptr, "text/html"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HttpRetriever own;
        own.SetReplyLimit(16384);
        service.QueueAnswer(c.answer);
        ASSERT_NE(nullptr, own.Retrieve(service.Url(kFeedPath).c_str(), 1, "raw=1", -1));
        EXPECT_EQ(c.status, own.LastStatus());
        EXPECT_GE(c.size, own.Reply().size());
        EXPECT_LE(std::min<size_t>(c.size, 16385), own.Reply().size());
        EXPECT_EQ(c.complete, own.ReplyComplete());
        EXPECT_EQ(c.cut, own.ReplyCut());
        EXPECT_EQ(c.encoding ? c.encoding : "gzip" + std::string(400, ' ') + "x", own.ContentEncoding());
        EXPECT_EQ(c.type, own.ContentType());
    }
    EXPECT_EQ(5u, service.Requests().size()); // the redirect went nowhere
}

// A service that never answers, or trickles, cannot hold the caller past its deadline.
TEST_F(HttpRetrieverTest, NoRequestOutlastsItsDeadline)
{
    for (const Answer &answer : {Answer::Fragment("never").Delayed(INFINITE), Answer::Large(1000).Trickling(100)}) {
        SCOPED_TRACE(answer.trickleMs ? "trickling" : "silent");
        HttpRetriever own;
        const ULONGLONG started = GetTickCount64();
        own.SetDeadline(started + 1500);
        service.QueueAnswer(answer);
        const char *reply = own.Retrieve(service.Url(kFeedPath).c_str(), 1, "raw=1", -1);
        const ULONGLONG took = GetTickCount64() - started;
        EXPECT_GE(took, 1400u);
        EXPECT_LT(took, 4000u);
        EXPECT_TRUE(!reply || !own.ReplyComplete());
    }
}

// The system's proxy settings are used: behind a proxy nothing else gets out.
TEST_F(HttpRetrieverTest, ThePostGoesThroughTheSystemsProxy)
{
    const char kSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    const DWORD enable = 1;
    const std::string proxy = "127.0.0.1:" + std::to_string(service.Port());
    RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&enable), sizeof enable);
    RegSetValueExA(key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE *>(proxy.c_str()),
                   static_cast<DWORD>(proxy.size() + 1));
    service.SetAnswer(Answer::Fragment("via the proxy"));
    {
        HttpRetriever proxied; // the settings are read as the session opens
        ASSERT_NE(nullptr, proxied.Retrieve("http://www.quorvia.com/index.php/messagefeed", 1, "raw=1", -1));
        EXPECT_EQ("via the proxy", proxied.Reply());
    }
    RegDeleteValueA(key, "ProxyEnable");
    RegDeleteValueA(key, "ProxyServer");
    RegCloseKey(key);
    auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    // An absolute target: the request was made to the proxy, for the host.
    EXPECT_EQ(0u, requests[0].target.find("http://www.quorvia.com"));
    EXPECT_EQ(requests[0].target.size() - strlen(kFeedPath), requests[0].target.rfind(kFeedPath));
}

TEST_F(HttpRetrieverTest, GetFetchesTheUrl)
{
    service.SetAnswer(Answer::Fragment("page"));
    const char *reply = retriever.Retrieve(service.Url("/index.php/memberreg?x=1").c_str(), 0);
    ASSERT_NE(nullptr, reply);
    EXPECT_STREQ("page", reply);
    EXPECT_EQ(200u, retriever.LastStatus());
    auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", requests[0].method);
    EXPECT_EQ("/index.php/memberreg?x=1", requests[0].target);
    EXPECT_EQ(kAgent, requests[0].Header("User-Agent"));
    EXPECT_EQ("", requests[0].body);
}

TEST_F(HttpRetrieverTest, ReplyThatDoesNotFitInMemoryGivesNull)
{
    service.QueueAnswer(Answer::Large(3u << 20));
    {
        ArmAllocationFailure outOfMemory(1u << 20);
        EXPECT_EQ(nullptr, retriever.Retrieve(service.Url(kFeedPath).c_str(), 1, "raw=1", -1));
    }
    // The retriever stays usable.
    service.QueueAnswer(Answer::Fragment("after"));
    const char *reply = retriever.Retrieve(service.Url(kFeedPath).c_str(), 1, "raw=1", -1);
    ASSERT_NE(nullptr, reply);
    EXPECT_STREQ("after", reply);
}

// The stand-in's own parts that other tests lean on.

TEST(TrackingServiceForm, DecodesTheTrackingBody)
{
    struct Case
    {
        const char *body;
        bool valid;
        const char *login, *password, *to, *subj;
    } cases[] = {
        {"login=%61%62%63&password=%70%77&to=%61%00%62%00&subj=%E9%00&raw=1", true, "abc", "pw", "ab", "\xC3\xA9"},
        {"login=&password=&to=&subj=&raw=1", true, "", "", "", ""},
        {"login=%3B%20&password=&to=%3B%00%20%00%AC%20&subj=&raw=1", true, "; ", "", "; \xE2\x82\xAC", ""},
        {"login=a&password=b&to=%61&subj=&raw=1", false, "", "", "", ""},          // odd UTF-16 byte count
        {"login=%6&password=&to=&subj=&raw=1", false, "", "", "", ""},             // cut escape
        {"login=%zz&password=&to=&subj=&raw=1", false, "", "", "", ""},            // not hex
        {"login=&to=&password=&subj=&raw=1", false, "", "", "", ""},               // out of order
        {"login=&password=&to=&subj=", false, "", "", "", ""},                     // raw missing
        {"login=&password=&to=&subj=&raw=1&x=2", false, "", "", "", ""},           // trailing field
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        host::TrackingForm form;
        ASSERT_EQ(c.valid, host::DecodeTrackingForm(c.body, form));
        if (!c.valid)
            continue;
        EXPECT_EQ(c.login, form.login);
        EXPECT_EQ(c.password, form.password);
        EXPECT_EQ(c.to, form.to);
        EXPECT_EQ(c.subj, form.subj);
        EXPECT_EQ("1", form.raw);
    }
}

TEST(TrackingServiceLifetime, StopsPromptlyWithASlowAnswerPending)
{
    DWORD stopped;
    {
        TrackingService service(0);
        ASSERT_TRUE(service.Listening());
        service.SetAnswer(Answer::Fragment("never").Delayed(30000));
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in where = {};
        where.sin_family = AF_INET;
        where.sin_port = htons(service.Port());
        inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
        ASSERT_EQ(0, connect(client, (sockaddr *)&where, sizeof where));
        const char request[] = "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc";
        send(client, request, sizeof request - 1, 0);
        ASSERT_TRUE(service.WaitForRequests(1, 5000));
        EXPECT_EQ("abc", service.Requests()[0].body);
        stopped = GetTickCount();
        // leaving the scope destroys the service while its answer is pending
        closesocket(client);
        WSACleanup();
    }
    EXPECT_LT(GetTickCount() - stopped, 1000u);
}

} // namespace
