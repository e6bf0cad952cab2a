// Service: the routes of the Quorvia web service on an HTTP server.
//   POST /index.php/messagefeed   the add-in's feed: a fragment for a tracked message
//   GET|HEAD /t/TOKEN.gif         the tracking pixel; records an open of a known token
//   GET /api/v1/messages          the account's messages, newest first, paged (HTTP Basic,
//                                 or for GET the web pages' session cookie)
//   GET|DELETE /api/v1/messages/ID
//   GET /healthz
// Storage that fails answers 503 and is logged; nothing half-done is kept.
#pragma once

#include "accounts/Accounts.h"
#include "accounts/Sessions.h"
#include "pixel/OpenRecorder.h"
#include "pixel/TokenCache.h"
#include "storage/Storage.h"

#include <chrono>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace quorvia {

struct ServiceSettings
{
    std::string publicUrl = "https://www.quorvia.com"; // the base of the pixel addresses in fragments
    bool trustForwardedFor = false; // behind a reverse proxy: the client is the X-Forwarded-For's last hop
    std::chrono::hours senderWindow{24 * 7};            // a feed post this recent makes its address the sender's
    int pageSize = 50;                                   // messages per page, at most
};

class Service
{
public:
    // With `sessions`, the API's GETs accept a web session too (the pages refresh from it).
    Service(Storage &storage, Accounts &accounts, ServiceSettings settings, Sessions *sessions = nullptr);
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    void Install(httplib::Server &server);

    // The client's address as the service sees it (before truncation).
    std::string ClientAddress(const httplib::Request &request) const;

private:
    void Feed(const httplib::Request &request, httplib::Response &response);
    void Pixel(const httplib::Request &request, httplib::Response &response);
    void ListMessages(const httplib::Request &request, httplib::Response &response);
    void OneMessage(const httplib::Request &request, httplib::Response &response);
    // The account of an HTTP Basic request (or a GET in a web session), or
    // nothing and the response says why.
    std::optional<Account> Authenticate(const httplib::Request &request, httplib::Response &response);

    Storage &m_storage;
    Accounts &m_accounts;
    const ServiceSettings m_settings;
    TokenCache m_tokens;
    OpenRecorder m_recorder;
    Sessions *m_sessions;
};

} // namespace quorvia
