// Mail through an SMTP relay: a minimal relay on a loopback port records
// what the service's libcurl client says to it.
#include "mail/Mailer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace quorvia;

namespace {

// Accepts one connection and answers each command as a relay that takes the
// mail; `said` is everything the client sent.
class FakeRelay
{
public:
    FakeRelay()
    {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(m_listener, reinterpret_cast<sockaddr *>(&address), size);
        listen(m_listener, 1);
        getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeRelay()
    {
        shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        close(m_listener);
    }

    int port = 0;
    std::string said;

private:
    void Serve()
    {
        const int c = accept(m_listener, nullptr, nullptr);
        if (c < 0)
            return;
        auto reply = [c](const std::string &line) { (void)!write(c, line.data(), line.size()); };
        reply("220 relay ready\r\n");
        bool data = false;
        std::string pending;
        char buffer[4096];
        for (ssize_t n; (n = read(c, buffer, sizeof buffer)) > 0;) {
            said.append(buffer, n);
            pending.append(buffer, n);
            for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 2);
                if (data) {
                    if (line == ".") {
                        data = false;
                        reply("250 queued\r\n");
                    }
                } else if (line.rfind("EHLO", 0) == 0) {
                    reply("250 relay\r\n");
                } else if (line == "DATA") {
                    data = true;
                    reply("354 go on\r\n");
                } else if (line == "QUIT") {
                    reply("221 bye\r\n");
                    close(c);
                    return;
                } else {
                    reply("250 ok\r\n");
                }
            }
        }
        close(c);
    }

    int m_listener = -1;
    std::thread m_thread;
};

} // namespace

TEST(Mailer, TheRelayGetsTheEnvelopeAndTheMessageWithItsLinesIntact)
{
    FakeRelay relay;
    Mailer mailer(MailSettings{"smtp://127.0.0.1:" + std::to_string(relay.port), "no-reply@quorvia.example", ""});
    EXPECT_TRUE(mailer.Send({"ann@example.com", "Grüße", "Hello\n.a line with a dot\nlast\n"}));
    for (const char *expected : {"MAIL FROM:<no-reply@quorvia.example>", "RCPT TO:<ann@example.com>",
                                 "\r\nSubject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n", "\r\n\r\nHello\r\n..a line with a dot\r\nlast\r\n.\r\n"})
        EXPECT_NE(std::string::npos, relay.said.find(expected)) << expected << " in\n" << relay.said;
}

TEST(Mailer, AnAddressThatWouldAddAHeaderOrARecipientIsNotMailed)
{
    Mailer mailer(MailSettings{"smtp://127.0.0.1:9", "no-reply@quorvia.example", "/nonexistent"});
    for (const char *to : {"ann@example.com\r\nBcc: eve@example.com", "ann@example.com>, <eve@example.com"})
        EXPECT_FALSE(mailer.Send({to, "s", "t\n"})) << to;
}
