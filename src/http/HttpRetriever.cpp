// HttpRetriever: blocking GET and form POST over WinInet.
#include "http/HttpRetriever.h"

#include <cstring>
#include <new>

namespace {

const char kUserAgent[] = "Brenn Software HTTP Retriever 1.0";
const char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";
const DWORD kFormHeaderLength = sizeof kFormHeader - 1; // 47, no line end
// GET flags: INTERNET_FLAG_TRANSFER_ASCII with the bit 0x8.
const DWORD kOpenUrlFlags = 9;
const DWORD kChunkSize = 8191;

const DWORD kPlainFlags = INTERNET_FLAG_NO_CACHE_WRITE;
const DWORD kSecureFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                           INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;

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

HttpRetriever::HttpRetriever()
    : m_hInternet(InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0))
{
}

DWORD HttpRetriever::RequestFlagsFor(const char *url)
{
    if (!url)
        return kPlainFlags;
    return FlagsForScheme(CrackUrl(url).nScheme);
}

bool HttpRetriever::OpenUrl(const char *url)
{
    m_dwLastStatus = 0;
    m_hRequest.Reset();
    m_hRequest.Reset(InternetOpenUrlA(m_hInternet.Get(), url, nullptr, 0, kOpenUrlFlags, 0));
    if (!m_hRequest) {
        m_dwLastError = GetLastError();
        return false;
    }
    RecordStatus();
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

        m_dwLastRequestFlags = FlagsForScheme(parts.nScheme);
        m_hConnect.Reset(InternetConnectA(m_hInternet.Get(), host.c_str(), parts.nPort, "", "",
                                          INTERNET_SERVICE_HTTP, INTERNET_FLAG_NO_CACHE_WRITE, 0));
        const char *acceptTypes[] = {"*/*", nullptr};
        m_hRequest.Reset(HttpOpenRequestA(m_hConnect.Get(), "POST", path.c_str(), nullptr, nullptr,
                                          acceptTypes, m_dwLastRequestFlags, 0));
        // A connection or request that could not be opened makes the send fail.
        if (!HttpSendRequestA(m_hRequest.Get(), kFormHeader, kFormHeaderLength, const_cast<char *>(data), (DWORD)length)) {
            m_dwLastError = GetLastError();
            return false;
        }
    } catch (const std::bad_alloc &) {
        m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    RecordStatus();
    return true;
}

void HttpRetriever::RecordStatus()
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (HttpQueryInfoA(m_hRequest.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        m_dwLastStatus = status;
}

bool HttpRetriever::ReadReply()
{
    m_reply = std::string();
    try {
        m_reply.reserve(kChunkSize + 2);
        char chunk[kChunkSize + 1];
        DWORD read = 0;
        // A failed read ends the reply like its end does: what came so far is the reply.
        while (InternetReadFile(m_hRequest.Get(), chunk, kChunkSize, &read) && read != 0) {
            // The reply is text: a chunk counts up to its first zero byte.
            m_reply.append(chunk, strnlen(chunk, read));
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
