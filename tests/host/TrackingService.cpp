// The stand-in tracking service: one connection at a time, one request per
// connection ("Connection: close"), so the order of the record is the order
// in which the requests arrived.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "host/TrackingService.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

const DWORD kPollMs = 50;           // how often a waiting server looks at its stop event
const DWORD kIdleLimitMs = 1000;    // silence after which a half-sent request is given up
const size_t kMaxHeadBytes = 64 * 1024;

bool EqualNoCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower((unsigned char)x) == tolower((unsigned char)y);
           });
}

const char *ReasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// Parses the request line and header lines of head (without the blank line).
bool ParseHead(const std::string &head, ReceivedRequest &request)
{
    size_t lineEnd = head.find("\r\n");
    std::string line = head.substr(0, lineEnd);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos)
        return false;
    request.method = line.substr(0, sp1);
    request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    request.version = line.substr(sp2 + 1);
    while (lineEnd != std::string::npos) {
        size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        if (line.empty())
            continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        size_t value = line.find_first_not_of(" \t", colon + 1);
        request.headers.emplace_back(line.substr(0, colon),
                                     value == std::string::npos ? std::string() : line.substr(value));
    }
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string ReceivedRequest::Header(const std::string &name) const
{
    for (const auto &h : headers)
        if (EqualNoCase(h.first, name))
            return h.second;
    return std::string();
}

size_t ReceivedRequest::HeaderCount(const std::string &name) const
{
    return std::count_if(headers.begin(), headers.end(),
                         [&](const std::pair<std::string, std::string> &h) { return EqualNoCase(h.first, name); });
}

std::string LargeBody(size_t bytes)
{
    // Eight-byte lines holding their own offset: a lost, repeated or
    // reordered piece shows at once.
    std::string body;
    body.reserve(bytes + 8);
    char line[16];
    for (size_t offset = 0; offset < bytes; offset += 8) {
        snprintf(line, sizeof line, "%07zx\n", offset & 0xFFFFFFF);
        body += line;
    }
    body.resize(bytes);
    return body;
}

Answer Answer::Large(size_t bytes)
{
    return Fragment(LargeBody(bytes));
}

Answer Answer::Error(int status)
{
    char page[256];
    snprintf(page, sizeof page,
             "<html><head><title>%d %s</title></head><body><h1>%d %s</h1></body></html>\n", status,
             ReasonPhrase(status), status, ReasonPhrase(status));
    return Status(status, page);
}

TrackingService::TrackingService(unsigned short port, const char *address)
{
    m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WSADATA wsa;
    m_winsock = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    if (!m_winsock || !m_stop)
        return;

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return;
    // Each test is a process of its own: port 80 must be free again for the next
    // one although the connections of the last one still linger in TIME_WAIT.
    BOOL reuse = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, (const char *)&reuse, sizeof reuse);
    sockaddr_in where;
    memset(&where, 0, sizeof where);
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    inet_pton(AF_INET, address, &where.sin_addr);
    int length = sizeof where;
    if (bind(s, (sockaddr *)&where, sizeof where) != 0 || listen(s, SOMAXCONN) != 0 ||
        getsockname(s, (sockaddr *)&where, &length) != 0) {
        closesocket(s);
        return;
    }
    m_port = ntohs(where.sin_port);
    m_listener = s;
    m_thread = std::thread([this] {
        try {
            Serve();
        } catch (...) {
            // The thread ends; a test sees its requests go unanswered.
        }
    });
}

TrackingService::~TrackingService()
{
    if (m_stop)
        SetEvent(m_stop);
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener != kNoSocket)
        closesocket(m_listener);
    if (m_winsock)
        WSACleanup();
    if (m_stop)
        CloseHandle(m_stop);
}

std::string TrackingService::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void TrackingService::SetAnswer(Answer answer)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_default = std::move(answer);
}

void TrackingService::QueueAnswer(Answer answer)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_queued.push_back(std::move(answer));
}

std::vector<ReceivedRequest> TrackingService::Requests() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
}

bool TrackingService::WaitForRequests(size_t n, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> hold(m_lock);
    return m_recorded.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_requests.size() >= n; });
}

Answer TrackingService::NextAnswer()
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_queued.empty())
        return m_default;
    Answer next = std::move(m_queued.front());
    m_queued.pop_front();
    return next;
}

void TrackingService::Record(ReceivedRequest request)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_requests.push_back(std::move(request));
    }
    m_recorded.notify_all();
}

bool TrackingService::Stopping() const
{
    return WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0;
}

bool TrackingService::Wait(UINT_PTR s, bool forWriting, DWORD timeoutMs)
{
    DWORD waited = 0;
    while (!Stopping()) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET((SOCKET)s, &set);
        DWORD slice = std::min(kPollMs, timeoutMs - waited);
        timeval tv = {0, (long)slice * 1000};
        int ready = forWriting ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
        if (ready > 0)
            return true;
        if (ready < 0)
            return false;
        waited += slice;
        if (waited >= timeoutMs)
            return false;
    }
    return false;
}

void TrackingService::Serve()
{
    while (!Stopping()) {
        if (!Wait(m_listener, false, INFINITE))
            continue;
        SOCKET client = accept((SOCKET)m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        u_long nonBlocking = 1;
        ioctlsocket(client, FIONBIO, &nonBlocking);
        ServeConnection(client);
        closesocket(client);
    }
}

void TrackingService::ServeConnection(UINT_PTR client)
{
    ReceivedRequest request;
    bool whole = ReadRequest(client, request);
    if (!whole && request.head.empty())
        return; // opened and closed without a word
    if (!whole) {
        Record(std::move(request));
        return;
    }
    Answer answer = NextAnswer();
    Record(std::move(request));

    if (answer.delayMs && WaitForSingleObject(m_stop, answer.delayMs) == WAIT_OBJECT_0)
        return;
    if (answer.drop)
        return;

    // A Content-Type of the answer's own replaces the usual one.
    const bool ownType = answer.headers.find("Content-Type:") != std::string::npos;
    char head[256];
    snprintf(head, sizeof head, "HTTP/1.1 %d %s\r\n%sContent-Length: %zu\r\nConnection: close\r\n", answer.status,
             ReasonPhrase(answer.status), ownType ? "" : "Content-Type: text/html\r\n",
             answer.declaredLength.value_or(answer.body.size()));
    if (!SendAll(client, head + answer.headers + "\r\n"))
        return;
    if (answer.trickleMs) {
        for (char byte : answer.body)
            if (!SendAll(client, std::string(1, byte)) || WaitForSingleObject(m_stop, answer.trickleMs) == WAIT_OBJECT_0)
                return;
    } else if (!SendAll(client, answer.body)) {
        return;
    }
    shutdown((SOCKET)client, SD_SEND);
}

bool TrackingService::ReadRequest(UINT_PTR client, ReceivedRequest &request)
{
    std::string bytes;
    size_t headEnd = std::string::npos;
    size_t wanted = 0; // total bytes of head + blank line + body, once known
    char buffer[16384];
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = bytes.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                request.head = bytes.substr(0, headEnd + 2);
                if (!ParseHead(request.head, request))
                    return false;
                std::string length = request.Header("Content-Length");
                wanted = headEnd + 4 + (length.empty() ? 0 : strtoul(length.c_str(), nullptr, 10));
            } else if (bytes.size() > kMaxHeadBytes) {
                request.head = bytes;
                return false;
            }
        }
        if (headEnd != std::string::npos && bytes.size() >= wanted) {
            request.body = bytes.substr(headEnd + 4, wanted - headEnd - 4);
            request.complete = true;
            return true;
        }
        if (!Wait(client, false, kIdleLimitMs))
            break;
        int got = recv((SOCKET)client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        bytes.append(buffer, got);
    }
    // The client stopped short: keep what it sent.
    if (headEnd == std::string::npos)
        request.head = bytes;
    else
        request.body = bytes.substr(headEnd + 4);
    return false;
}

bool TrackingService::SendAll(UINT_PTR client, const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        int chunk = (int)std::min<size_t>(bytes.size() - sent, 65536);
        int n = send((SOCKET)client, bytes.data() + sent, chunk, 0);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        // A client that stops reading must not hold the server (and its destructor) up forever.
        if (!Wait(client, true, 10000))
            return false;
    }
    return true;
}

bool PercentDecode(const std::string &text, std::string &bytes)
{
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        bytes += (char)(high * 16 + low);
        i += 2;
    }
    return true;
}

bool Utf8FromUtf16Le(const std::string &bytes, std::string &text)
{
    text.clear();
    if (bytes.size() % 2)
        return false;
    std::wstring wide;
    for (size_t i = 0; i < bytes.size(); i += 2)
        wide += (wchar_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8));
    if (wide.empty())
        return true;
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    text.resize(size);
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &text[0], size, nullptr, nullptr);
    return true;
}

bool DecodeTrackingForm(const std::string &body, TrackingForm &form)
{
    static const char *const names[] = {"login", "password", "to", "subj", "raw"};
    std::string *values[] = {&form.login, &form.password, &form.to, &form.subj, &form.raw};
    size_t start = 0;
    for (size_t field = 0; field < 5; ++field) {
        if (start > body.size())
            return false;
        size_t end = body.find('&', start);
        std::string pair = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string prefix = std::string(names[field]) + "=";
        if (pair.compare(0, prefix.size(), prefix) != 0)
            return false;
        std::string bytes;
        if (!PercentDecode(pair.substr(prefix.size()), bytes))
            return false;
        bool wide = field == 2 || field == 3;
        if (wide) {
            if (!Utf8FromUtf16Le(bytes, *values[field]))
                return false;
        } else {
            *values[field] = bytes;
        }
        if (field == 4 && end != std::string::npos)
            return false; // something after raw
        start = end == std::string::npos ? body.size() + 1 : end + 1;
    }
    return true;
}

} // namespace host
