// HttpRetriever: blocking GET and form POST over WinInet.
#include "http/HttpRetriever.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const char kUserAgent[] = "Brenn Software HTTP Retriever 1.0";
const char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";
const DWORD kFormHeaderLength = sizeof kFormHeader - 1; // 47, no line end
// GET flags: INTERNET_FLAG_TRANSFER_ASCII with the bit 0x8, and no redirect.
const DWORD kOpenUrlFlags = 9 | INTERNET_FLAG_NO_AUTO_REDIRECT;
const DWORD kChunkSize = 8191;

// A redirect would take the account, or the reply, to some other place.
const DWORD kPlainFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
// Certificates are checked in full: the account crosses this connection.
const DWORD kSecureFlags = kPlainFlags | INTERNET_FLAG_SECURE;

DWORD FlagsForScheme(INTERNET_SCHEME scheme)
{
    return scheme == INTERNET_SCHEME_HTTPS ? kSecureFlags : kPlainFlags;
}

// Asks InternetCrackUrlA for pointers into url (a null pointer with length 1
// makes it return position and length instead of copying).
URL_COMPONENTSA CrackUrl(const char *url)
{
    URL_COMPONENTSA parts;
    memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = 1;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    // A URL that does not split leaves the host empty and the send fails.
    InternetCrackUrlA(url, (DWORD)strlen(url), 0, &parts);
    return parts;
}

} // namespace

// The system's proxy settings: behind a proxy nothing else gets out.
HttpRetriever::HttpRetriever()
    : m_hInternet(InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0))
{
}

DWORD HttpRetriever::RequestFlagsFor(const char *url)
{
    if (!url)
        return kPlainFlags;
    return FlagsForScheme(CrackUrl(url).nScheme);
}

bool HttpRetriever::ApplyTimeLeft()
{
    if (!m_deadline)
        return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= m_deadline)
        return false;
    DWORD left = static_cast<DWORD>(m_deadline - now);
    // Handles take their time-outs from their parent when they are made, and
    // keep their own afterwards: each one open gets them.
    for (HINTERNET handle : {m_hInternet.Get(), m_hConnect.Get(), m_hRequest.Get()}) {
        if (!handle)
            continue;
        for (DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
            InternetSetOptionA(handle, option, &left, sizeof left);
    }
    return true;
}

bool HttpRetriever::OpenUrl(const char *url)
{
    m_dwLastStatus = 0;
    m_hRequest.Reset();
    if (!ApplyTimeLeft()) {
        m_dwLastError = ERROR_INTERNET_TIMEOUT;
        return false;
    }
    m_hRequest.Reset(InternetOpenUrlA(m_hInternet.Get(), url, nullptr, 0, kOpenUrlFlags, 0));
    if (!m_hRequest) {
        m_dwLastError = GetLastError();
        return false;
    }
    RecordReplyHeaders();
    return true;
}

bool HttpRetriever::PostForm(const char *url, const char *data, int length)
{
    m_dwLastStatus = 0;
    if (!data)
        data = "";
    if (length == -1)
        length = (int)strlen(data);

    try {
        URL_COMPONENTSA parts = CrackUrl(url);
        std::string host, path;
        if (parts.lpszHostName)
            host.assign(parts.lpszHostName, parts.dwHostNameLength);
        if (parts.lpszUrlPath)
            path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);

        // The request goes before its connection: WinInet closes children with a parent.
        m_hRequest.Reset();
        m_hConnect.Reset();
        if (!ApplyTimeLeft()) {
            m_dwLastError = ERROR_INTERNET_TIMEOUT;
            return false;
        }

        m_dwLastRequestFlags = FlagsForScheme(parts.nScheme);
        m_hConnect.Reset(InternetConnectA(m_hInternet.Get(), host.c_str(), parts.nPort, "", "",
                                          INTERNET_SERVICE_HTTP, INTERNET_FLAG_NO_CACHE_WRITE, 0));
        const char *acceptTypes[] = {"*/*", nullptr};
        m_hRequest.Reset(HttpOpenRequestA(m_hConnect.Get(), "POST", path.c_str(), nullptr, nullptr,
                                          acceptTypes, m_dwLastRequestFlags, 0));
        ApplyTimeLeft();
        // A connection or request that could not be opened makes the send fail.
        if (!HttpSendRequestA(m_hRequest.Get(), kFormHeader, kFormHeaderLength, const_cast<char *>(data), (DWORD)length)) {
            m_dwLastError = GetLastError();
            return false;
        }
    } catch (const std::bad_alloc &) {
        m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    RecordReplyHeaders();
    return true;
}

std::string HttpRetriever::Header(DWORD query) const
{
    // Whatever its length: a header cut off, or dropped for its length, would
    // let an encoded or oddly typed reply pass for a plain one.
    std::string value(256, '\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(value.size());
        if (HttpQueryInfoA(m_hRequest.Get(), query, &value[0], &size, nullptr)) {
            value.resize(size);
            return value;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= value.size())
            return std::string();
        value.assign(size + 1, '\0');
    }
}

void HttpRetriever::RecordReplyHeaders()
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (HttpQueryInfoA(m_hRequest.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        m_dwLastStatus = status;
    m_contentEncoding = Header(HTTP_QUERY_CONTENT_ENCODING);
    m_contentType = Header(HTTP_QUERY_CONTENT_TYPE);
    m_contentLength.reset();
    const std::string length = Header(HTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty() && length.find_first_not_of("0123456789") == std::string::npos)
        m_contentLength = std::strtoull(length.c_str(), nullptr, 10);
}

bool HttpRetriever::ReadReply()
{
    m_reply = std::string();
    m_bComplete = false;
    m_bCut = false;
    try {
        char chunk[kChunkSize];
        for (;;) {
            if (m_reply.size() > m_replyLimit) {
                m_bCut = true;
                break;
            }
            // A reply that trickles in must not hold the caller past its deadline.
            if (!ApplyTimeLeft())
                break;
            DWORD read = 0;
            // A failed read ends the reply as its end would; it is not complete then.
            if (!InternetReadFile(m_hRequest.Get(), chunk, kChunkSize, &read))
                break;
            if (read == 0) {
                m_bComplete = !m_contentLength || *m_contentLength == m_reply.size();
                break;
            }
            m_reply.append(chunk, read);
        }
    } catch (const std::bad_alloc &) {
        m_reply = std::string();
        return false;
    }
    return true;
}

const char *HttpRetriever::Retrieve(const char *url, BYTE post, const char *data, int length)
{
    if (!url) {
        m_dwLastError = 0xFFFFFFFF;
        return nullptr;
    }
    bool made = post ? PostForm(url, data, length) : OpenUrl(url);
    if (!made)
        return nullptr; // the reply of an earlier call stays as it was
    if (!ReadReply())
        return nullptr;
    return m_reply.c_str();
}
