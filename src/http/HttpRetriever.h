// A small blocking HTTP client over WinInet: one request at a time, a GET of a
// URL or a POST of a URL-encoded form, the whole reply read into a buffer the
// retriever owns. One retriever serves one thread at a time.
#pragma once

#include "com/Resources.h"

#include <string>

class HttpRetriever
{
public:
    HttpRetriever();
    ~HttpRetriever() = default;
    HttpRetriever(const HttpRetriever &) = delete;
    HttpRetriever &operator=(const HttpRetriever &) = delete;

    // Makes the request and reads the whole reply. post non-zero: POST data
    // (length bytes, or up to its terminator when length is -1) as a form;
    // zero: GET. Returns the reply text, valid until the next Retrieve or the
    // retriever's end, or null when no request could be made or the reply did
    // not fit in memory. The body is returned whatever the HTTP status.
    const char *Retrieve(const char *url, BYTE post, const char *data = nullptr, int length = -1);

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

    // Request flags for a POST to url: TLS (with lenient certificate checks)
    // for https, plain HTTP for everything else, whatever the port.
    static DWORD RequestFlagsFor(const char *url);

    // The handles of the current request, for callers that check their lifetime.
    HINTERNET RequestHandle() const { return m_hRequest.Get(); }
    HINTERNET ConnectHandle() const { return m_hConnect.Get(); }

private:
    bool ReadReply();
    void RecordStatus();

    // Closed in reverse order: a request before its connection before the session.
    InternetHandle m_hInternet;
    InternetHandle m_hConnect;
    InternetHandle m_hRequest;
    std::string m_reply;
    DWORD m_dwLastError = 0;
    DWORD m_dwLastStatus = 0;
    DWORD m_dwLastRequestFlags = 0;
};
