// The stand-in Quorvia tracking service: a small HTTP/1.1 server on its own
// thread inside the test process. It records every request exactly as it
// arrived and answers as the test arranged (fragment, empty body, large body,
// error page, slow answer, dropped connection).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace host {

struct ReceivedRequest
{
    std::string method;  // "POST"
    std::string target;  // the request target as sent: "/index.php/messagefeed"
    std::string version; // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers; // in order, as received
    std::string head;    // request line and header lines, byte for byte, up to the blank line
    std::string body;    // Content-Length bytes (or what came before the client gave up)
    // False when the bytes never formed a complete HTTP request (e.g. a TLS
    // handshake); head then holds the raw bytes received.
    bool complete = false;

    // Value of the first header of that name (case-insensitive); "" if absent.
    std::string Header(const std::string &name) const;
    size_t HeaderCount(const std::string &name) const;
};

struct Answer
{
    int status = 200;
    std::string body;
    DWORD delayMs = 0;   // waits this long before answering (INFINITE: until the service stops)
    bool drop = false;   // closes the connection without answering
    std::string headers; // more header lines, each ending in CR LF
    std::optional<size_t> declaredLength; // the Content-Length told, when it is not the body's
    DWORD trickleMs = 0; // sends the body a byte at a time, this long apart

    static Answer Status(int status, std::string body)
    {
        Answer a;
        a.status = status;
        a.body = std::move(body);
        return a;
    }
    static Answer Fragment(std::string body) { return Status(200, std::move(body)); }
    static Answer Empty() { return Status(200, std::string()); }
    // A body of the given size in a repeating, position-dependent pattern (no zero bytes).
    static Answer Large(size_t bytes);
    // The status with a small HTML error page as body.
    static Answer Error(int status);
    static Answer Redirect(const std::string &location) { return Status(302, "moved").WithHeader("Location: " + location); }
    static Answer Dropped()
    {
        Answer a = Status(0, std::string());
        a.drop = true;
        return a;
    }
    Answer Delayed(DWORD ms) const
    {
        Answer a = *this;
        a.delayMs = ms;
        return a;
    }
    Answer WithHeader(const std::string &line) const
    {
        Answer a = *this;
        a.headers += line + "\r\n";
        return a;
    }
    Answer Declaring(size_t length) const
    {
        Answer a = *this;
        a.declaredLength = length;
        return a;
    }
    Answer Trickling(DWORD ms) const
    {
        Answer a = *this;
        a.trickleMs = ms;
        return a;
    }
};

// The body Answer::Large(bytes) sends.
std::string LargeBody(size_t bytes);

class TrackingService
{
public:
    // Listens on address:port; port 0 takes a free (ephemeral) port.
    explicit TrackingService(unsigned short port = 80, const char *address = "127.0.0.1");
    ~TrackingService();
    TrackingService(const TrackingService &) = delete;
    TrackingService &operator=(const TrackingService &) = delete;

    bool Listening() const { return m_listener != kNoSocket; }
    unsigned short Port() const { return m_port; }
    // "http://127.0.0.1:PORT" + path.
    std::string Url(const std::string &path) const;

    // The answer for every request that finds no queued answer (initially an empty 200).
    void SetAnswer(Answer answer);
    // Answers the next unanswered request; queued answers are used in order.
    void QueueAnswer(Answer answer);

    std::vector<ReceivedRequest> Requests() const;
    // True once at least n requests were recorded, false after timeoutMs.
    bool WaitForRequests(size_t n, DWORD timeoutMs) const;

private:
    void Serve();
    // Sockets are kept as UINT_PTR (what SOCKET is) so that users of this
    // header need not care whether winsock2.h comes before windows.h.
    static const UINT_PTR kNoSocket = ~(UINT_PTR)0;
    void ServeConnection(UINT_PTR client);
    bool ReadRequest(UINT_PTR client, ReceivedRequest &request);
    bool SendAll(UINT_PTR client, const std::string &bytes);
    bool Wait(UINT_PTR s, bool forWriting, DWORD timeoutMs);
    bool Stopping() const;
    Answer NextAnswer();
    void Record(ReceivedRequest request);

    bool m_winsock = false;
    UINT_PTR m_listener = kNoSocket;
    unsigned short m_port = 0;
    HANDLE m_stop = nullptr; // manual-reset; set by the destructor

    mutable std::mutex m_lock;
    mutable std::condition_variable m_recorded;
    std::vector<ReceivedRequest> m_requests;
    std::deque<Answer> m_queued;
    Answer m_default;

    std::thread m_thread;
};

// A tracking request body decoded for reading: the login and password as their
// bytes, recipients and subject converted from UTF-16LE to UTF-8.
struct TrackingForm
{
    std::string login;
    std::string password;
    std::string to;
    std::string subj;
    std::string raw;
};

// Decodes %XX escapes; false on a malformed escape.
bool PercentDecode(const std::string &text, std::string &bytes);
// UTF-16LE bytes to UTF-8 text; false on an odd byte count.
bool Utf8FromUtf16Le(const std::string &bytes, std::string &text);
// Splits "login=..&password=..&to=..&subj=..&raw=.." and decodes each field;
// false when a field is missing, repeated, malformed or out of order.
bool DecodeTrackingForm(const std::string &body, TrackingForm &form);

} // namespace host
