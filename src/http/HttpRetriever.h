// A small blocking HTTP client over WinInet: one request at a time, a GET of a
// URL or a POST of a URL-encoded form, the whole reply read into a buffer the
// retriever owns. One retriever serves one thread at a time. It goes through
// the system's proxy settings, follows no redirect, checks certificates in
// full, and never waits past the deadline it is given.
#pragma once

#include "com/Resources.h"

#include <optional>
#include <string>

class HttpRetriever
{
public:
    HttpRetriever();
    ~HttpRetriever() = default;
    HttpRetriever(const HttpRetriever &) = delete;
    HttpRetriever &operator=(const HttpRetriever &) = delete;

    // No step of a request waits past this moment (GetTickCount64): connect,
    // send and receive time out on the time left, and reading stops there.
    // 0 (the default): WinInet's own time-outs.
    void SetDeadline(ULONGLONG tick) { m_deadline = tick; }
    // Reading stops once the reply holds more than this many bytes (ReplyCut()).
    void SetReplyLimit(size_t bytes) { m_replyLimit = bytes; }

    // Makes the request and reads the reply. post non-zero: POST data (length
    // bytes, or up to its terminator when length is -1) as a form; zero: GET.
    // Returns the reply's bytes, all of them (zero bytes included, a
    // terminator after the last), valid until the next Retrieve or the
    // retriever's end; null when no request could be made or the reply did
    // not fit in memory. The body is returned whatever the HTTP status.
    const char *Retrieve(const char *url, BYTE post, const char *data = nullptr, int length = -1);
    const std::string &Reply() const { return m_reply; }

    // The GET step: true when the URL handle was opened.
    bool OpenUrl(const char *url);
    // The POST step: true when the request was sent.
    bool PostForm(const char *url, const char *data, int length);

    // GetLastError() of the last failed request step; 0xFFFFFFFF after a
    // Retrieve without URL; 0 until something failed.
    DWORD LastError() const { return m_dwLastError; }
    // HTTP status of the last request that was made (200, 401, ...); 0 when
    // the last request step failed or the status could not be read.
    DWORD LastStatus() const { return m_dwLastStatus; }
    // The HttpOpenRequestA flags the last POST used.
    DWORD LastRequestFlags() const { return m_dwLastRequestFlags; }

    // About the last reply: whether it was read to its end (and to its
    // Content-Length, when it gave one), whether the limit cut it, and its
    // Content-Length, Content-Encoding and Content-Type ("" when absent).
    bool ReplyComplete() const { return m_bComplete; }
    bool ReplyCut() const { return m_bCut; }
    std::optional<ULONGLONG> ContentLength() const { return m_contentLength; }
    const std::string &ContentEncoding() const { return m_contentEncoding; }
    const std::string &ContentType() const { return m_contentType; }

    // Request flags for a POST to url: TLS for https, plain HTTP for everything
    // else, whatever the port; never a redirect.
    static DWORD RequestFlagsFor(const char *url);

    // The handles of the current request, for callers that check their lifetime.
    HINTERNET RequestHandle() const { return m_hRequest.Get(); }
    HINTERNET ConnectHandle() const { return m_hConnect.Get(); }

private:
    bool ReadReply();
    void RecordReplyHeaders();
    std::string Header(DWORD query) const;
    // What is left until the deadline, for WinInet's time-outs; false when nothing is.
    bool ApplyTimeLeft();

    // Closed in reverse order: a request before its connection before the session.
    InternetHandle m_hInternet;
    InternetHandle m_hConnect;
    InternetHandle m_hRequest;
    std::string m_reply;
    DWORD m_dwLastError = 0;
    DWORD m_dwLastStatus = 0;
    DWORD m_dwLastRequestFlags = 0;
    ULONGLONG m_deadline = 0;
    size_t m_replyLimit = static_cast<size_t>(-1);
    bool m_bComplete = false;
    bool m_bCut = false;
    std::optional<ULONGLONG> m_contentLength;
    std::string m_contentEncoding;
    std::string m_contentType;
};
