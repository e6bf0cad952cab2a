// HTTPS to the service host name in the test namespace: TLS fronts on
// 127.0.0.1:443 (a certificate of the test CA the namespace trusts) and
// 127.0.0.1:8443 (one of a CA nothing trusts) pass the plaintext on to the
// stand-in service on 127.0.0.1:80 (see tests/tools/in-namespace.sh).
#include "com/Identity.h"
#include "host/TrackingService.h"
#include "http/HttpRetriever.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using host::Answer;
using host::TrackingService;

const std::string kFeedPath = "/index.php/messagefeed";
const std::string kTrustedUrl = "https://" QUORVIA_SERVICE_HOST + kFeedPath;
const std::string kUntrustedUrl = "https://" QUORVIA_SERVICE_HOST ":8443" + kFeedPath;
const char kBody[] = "login=&password=&to=&subj=&raw=1";

TEST(TlsFront, PostReachesTheServiceThroughTheTrustedFront)
{
    TrackingService service; // 127.0.0.1:80, behind the front
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment("<img src=\"https://t/1.gif\">"));
    HttpRetriever retriever;

    const char *reply = retriever.Retrieve(kTrustedUrl.c_str(), 1, kBody, -1);

    ASSERT_NE(nullptr, reply) << "WinInet error " << retriever.LastError();
    EXPECT_STREQ("<img src=\"https://t/1.gif\">", reply);
    EXPECT_EQ(200u, retriever.LastStatus());
    auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(kFeedPath, requests[0].target);
    EXPECT_EQ(QUORVIA_SERVICE_HOST, requests[0].Header("Host"));
    EXPECT_EQ(kBody, requests[0].body);
}

// No 2xx reply is what makes the exchange count the service as unreachable;
// it must come long before WinInet's own timeouts.
void ExpectNoAnswerPromptly()
{
    HttpRetriever retriever; // the exchange makes one per request
    DWORD start = GetTickCount();
    const char *reply = retriever.Retrieve(kTrustedUrl.c_str(), 1, kBody, -1);
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(!reply || !*reply) << reply;
    EXPECT_EQ(0u, retriever.LastStatus());
}

TEST(TlsFront, ADroppedConnectionOrNoServiceBehindTheFrontGivesNoAnswerPromptly)
{
    {
        TrackingService service;
        ASSERT_TRUE(service.Listening());
        service.SetAnswer(Answer::Dropped());
        ExpectNoAnswerPromptly();
        EXPECT_FALSE(service.Requests().empty()) << "the request never got through the front";
    }
    // Nothing on port 80: the front takes the handshake, then closes.
    ExpectNoAnswerPromptly();
}

TEST(TlsFront, CertificateOfAnUntrustedCaIsRefused)
{
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    HttpRetriever retriever;

    // The front on 8443 sends its CA's certificate along, so WinInet finds
    // the root and refuses it as unknown.
    EXPECT_EQ(nullptr, retriever.Retrieve(kUntrustedUrl.c_str(), 1, kBody, -1));
    EXPECT_EQ((DWORD)ERROR_INTERNET_INVALID_CA, retriever.LastError());
    EXPECT_TRUE(service.Requests().empty()) << "the request went out over an untrusted connection";
}

} // namespace
