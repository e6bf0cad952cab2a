// Service: the routes of the Quorvia web service on an HTTP server.
//   POST /index.php/messagefeed   the add-in's feed: a fragment for a tracked message
//   GET|HEAD /t/TOKEN.gif         the tracking pixel; records an open of a known token
//   GET /api/v1/messages          the account's messages, newest first, paged (HTTP Basic)
//   GET|DELETE /api/v1/messages/ID
//   GET /healthz
// Storage that fails answers 503 and is logged; nothing half-done is kept.
#pragma once

#include "accounts/Accounts.h"
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
    Service(Storage &storage, Accounts &accounts, ServiceSettings settings);
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
    // The account of an HTTP Basic request, or nothing and the response says why.
    std::optional<Account> Authenticate(const httplib::Request &request, httplib::Response &response);

    Storage &m_storage;
    Accounts &m_accounts;
    const ServiceSettings m_settings;
    TokenCache m_tokens;
    OpenRecorder m_recorder;
};

} // namespace quorvia
