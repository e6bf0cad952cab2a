// The service's pages for people, rendered on the server:
//   GET  /                              to the read report, or to sign-in
//   GET|POST /index.php/memberreg       a new account, a few per client address an hour
//   GET|POST /index.php/signin          a session (cookie), failures limited as for the feed
//   POST /index.php/signout
//   GET|POST /index.php/memberforgot    a one-time link to choose a new password, by mail
//   GET|POST /index.php/memberreset?token=...
//   GET  /index.php/reports[?before=ID] the account's messages, newest first, paged
//   GET  /index.php/reports/ID          one message with every open and why it counted
//   POST /index.php/reports/ID/delete
//   GET|POST /index.php/memberdelete    the account with all its data, password re-entered
// Every form carries a token derived from the visitor's session (or, signed
// out, from a form cookie) and every POST checks it.
#pragma once

#include "accounts/Accounts.h"
#include "accounts/Sessions.h"
#include "mail/Mailer.h"
#include "storage/Storage.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace quorvia {

struct WebSettings
{
    std::string publicUrl = "https://www.quorvia.com"; // the base of links in mail
    int pageSize = 25;                                  // messages per page of the report (the API gives up to 50)
    int refreshSeconds = 10;                            // how often an open report asks whether it changed
    std::chrono::seconds resetMailEvery{60};            // at most one reset mail per account this often (per instance)
};

class WebPages
{
public:
    // `clientAddress` is the service's view of a request's client (behind a
    // proxy, X-Forwarded-For's last hop), for the sign-in failure and sign-up limits.
    WebPages(Storage &storage, Accounts &accounts, Sessions &sessions, Mailer &mailer,
             std::function<std::string(const httplib::Request &)> clientAddress, WebSettings settings);
    WebPages(const WebPages &) = delete;
    WebPages &operator=(const WebPages &) = delete;

    void Install(httplib::Server &server);

private:
    struct Visitor;
    using Form = std::multimap<std::string, std::string>;

    Visitor Identify(const httplib::Request &request, httplib::Response &response);
    bool FormTokenOk(const Visitor &visitor, const Form &form, httplib::Response &response);
    void Send(httplib::Response &response, int status, const Visitor &visitor, const std::string &title,
              const std::string &main);
    void Unavailable(httplib::Response &response);

    void Home(const httplib::Request &request, httplib::Response &response);
    void SignUp(const httplib::Request &request, httplib::Response &response);
    void SignIn(const httplib::Request &request, httplib::Response &response);
    void SignOut(const httplib::Request &request, httplib::Response &response);
    void Forgot(const httplib::Request &request, httplib::Response &response);
    void Reset(const httplib::Request &request, httplib::Response &response);
    void Report(const httplib::Request &request, httplib::Response &response);
    void Message(const httplib::Request &request, httplib::Response &response);
    void DeleteMessage(const httplib::Request &request, httplib::Response &response);
    void DeleteAccount(const httplib::Request &request, httplib::Response &response);
    void MailResetLink(const std::string &email);

    Storage &m_storage;
    Accounts &m_accounts;
    Sessions &m_sessions;
    Mailer &m_mailer;
    std::function<std::string(const httplib::Request &)> m_clientAddress;
    const WebSettings m_settings;
    // When each account was last sent a reset mail; only the background thread uses it.
    std::unordered_map<int64_t, std::chrono::steady_clock::time_point> m_lastResetMail;
    std::unique_ptr<Background> m_background; // last: stopped before what its jobs use
};

} // namespace quorvia
