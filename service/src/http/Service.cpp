#include "http/Service.h"

#include "api/MessageJson.h"
#include "feed/FeedForm.h"
#include "feed/Fragment.h"
#include "pixel/OpenRules.h"
#include "pixel/Pixel.h"
#include "util/Log.h"
#include "web/Cookies.h"

#include <httplib.h>
#include <sodium.h>

#include <cstdlib>

namespace quorvia {
namespace {

const char kGifType[] = "image/gif";
const char kJsonType[] = "application/json";
const char kTextType[] = "text/plain; charset=utf-8";

std::string Dump(const nlohmann::json &json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Fail(httplib::Response &response, int status, const std::string &reason)
{
    response.status = status;
    response.set_content(reason + "\n", kTextType);
}

void Unavailable(httplib::Response &response, const char *what, const std::exception &e)
{
    Log("storage unavailable (%s): %s", what, e.what());
    Fail(response, 503, "the service's storage is unavailable; try again later");
}

// HTTP Basic credentials, or nothing when the header is absent or malformed.
std::optional<std::pair<std::string, std::string>> BasicCredentials(const httplib::Request &request)
{
    const std::string header = request.get_header_value("Authorization");
    if (header.size() < 7 || strncasecmp(header.c_str(), "Basic ", 6) != 0)
        return std::nullopt;
    const std::string encoded = header.substr(6);
    std::string decoded(encoded.size(), '\0');
    size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char *>(decoded.data()), decoded.size(), encoded.c_str(),
                          encoded.size(), " ", &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    decoded.resize(length);
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return std::make_pair(decoded.substr(0, colon), decoded.substr(colon + 1));
}

std::optional<int64_t> PositiveNumber(const std::string &text)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int64_t value = std::strtoll(text.c_str(), nullptr, 10);
    return value > 0 ? std::optional<int64_t>(value) : std::nullopt;
}

} // namespace

Service::Service(Storage &storage, Accounts &accounts, ServiceSettings settings, Sessions *sessions)
    : m_storage(storage), m_accounts(accounts), m_settings(std::move(settings)), m_tokens(storage), m_recorder(storage),
      m_sessions(sessions)
{
}

std::string Service::ClientAddress(const httplib::Request &request) const
{
    if (m_settings.trustForwardedFor) {
        // The last hop is the one the trusted proxy added; earlier ones are the client's word.
        std::string forwarded = request.get_header_value("X-Forwarded-For");
        const size_t comma = forwarded.rfind(',');
        if (comma != std::string::npos)
            forwarded = forwarded.substr(comma + 1);
        const size_t begin = forwarded.find_first_not_of(' ');
        if (begin != std::string::npos)
            return forwarded.substr(begin, forwarded.find_last_not_of(' ') - begin + 1);
    }
    return request.remote_addr;
}

void Service::Install(httplib::Server &server)
{
    // No request needs more than the largest form; a clear answer for one
    // that does, and for every error the library answers itself.
    server.set_payload_max_length(kMaxFeedForm);
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (response.status == 413)
            response.set_content("the request is larger than 64 KB\n", kTextType);
        else if (response.body.empty())
            response.set_content("HTTP " + std::to_string(response.status) + "\n", kTextType);
    });
    server.set_exception_handler([](const httplib::Request &request, httplib::Response &response,
                                    std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            Log("%s %s failed: %s", request.method.c_str(), request.path.c_str(), e.what());
        } catch (...) {
            Log("%s %s failed", request.method.c_str(), request.path.c_str());
        }
        response.status = 500;
        response.set_content("internal error\n", kTextType);
    });
    server.Post("/index.php/messagefeed",
                [this](const httplib::Request &q, httplib::Response &r) { Feed(q, r); });
    server.Get(R"(/t/([^/]*)\.gif)", [this](const httplib::Request &q, httplib::Response &r) { Pixel(q, r); });
    server.Get("/api/v1/messages", [this](const httplib::Request &q, httplib::Response &r) { ListMessages(q, r); });
    server.Get(R"(/api/v1/messages/([^/]+))",
               [this](const httplib::Request &q, httplib::Response &r) { OneMessage(q, r); });
    server.Delete(R"(/api/v1/messages/([^/]+))",
                  [this](const httplib::Request &q, httplib::Response &r) { OneMessage(q, r); });
    server.Get("/healthz", [this](const httplib::Request &, httplib::Response &r) {
        bool healthy = false;
        try {
            healthy = m_storage.Healthy();
        } catch (const std::exception &e) {
            Log("health check: %s", e.what());
        }
        r.status = healthy ? 200 : 503;
        r.set_content(healthy ? "ok\n" : "storage unavailable\n", kTextType);
    });
}

void Service::Feed(const httplib::Request &request, httplib::Response &response)
{
    std::string reason;
    std::optional<FeedForm> form = DecodeFeedForm(request.body, &reason);
    if (!form)
        return Fail(response, 400, "malformed form: " + reason);
    const std::string address = ClientAddress(request);
    try {
        const Accounts::SignIn signIn = m_accounts.Check(form->login, form->password, TruncateAddress(address));
        if (signIn.outcome == Accounts::Outcome::Limited)
            return Fail(response, 429, "too many failed sign-ins; try again later");
        if (signIn.outcome != Accounts::Outcome::Ok)
            return Fail(response, 401, "wrong login or password");
        NewMessage message;
        message.accountId = signIn.account.id;
        message.token = NewToken();
        message.recipients = form->recipients;
        message.subject = form->subject;
        message.sentAt = Now();
        message.senderAddress = TruncateAddress(address);
        m_storage.AddMessage(message);
        // Only a committed message gets its fragment: a pixel always has its message.
        response.set_content(TrackingFragment(m_settings.publicUrl, message.token), "text/html; charset=utf-8");
    } catch (const StorageUnavailable &e) {
        Unavailable(response, "feed", e);
    }
}

void Service::Pixel(const httplib::Request &request, httplib::Response &response)
{
    // The same image for every request: a token that is not one tells nothing.
    response.set_header("Cache-Control", "no-store, no-cache, must-revalidate, max-age=0");
    response.set_header("Pragma", "no-cache");
    response.set_header("Expires", "0");
    const std::string token = request.matches.size() > 1 ? std::string(request.matches[1]) : std::string();
    if (IsTokenShaped(token)) {
        try {
            if (std::optional<TokenTarget> target = m_tokens.Find(token)) {
                Open open;
                open.messageId = target->messageId;
                open.at = Now();
                open.userAgent = request.get_header_value("User-Agent").substr(0, 512);
                open.clientAddress = TruncateAddress(ClientAddress(request));
                OpenFacts facts;
                facts.userAgent = open.userAgent;
                facts.address = open.clientAddress;
                facts.fromSenderAddress =
                    m_storage.PostedFrom(target->accountId, open.clientAddress, open.at - m_settings.senderWindow);
                const OpenKind kind = ClassifyOpen(facts);
                open.kind = kind.kind;
                open.rule = kind.rule;
                if (!m_recorder.Record(std::move(open)))
                    return Fail(response, 503, "the service's storage is unavailable; try again later");
            }
        } catch (const StorageUnavailable &e) {
            return Unavailable(response, "pixel", e);
        }
    }
    response.set_content(std::string(reinterpret_cast<const char *>(kPixelGif), sizeof kPixelGif), kGifType);
}

std::optional<Account> Service::Authenticate(const httplib::Request &request, httplib::Response &response)
{
    const auto credentials = BasicCredentials(request);
    // Only reads: a cookie alone never changes anything through the API.
    if (!credentials && m_sessions && request.method == "GET") {
        if (std::optional<Account> account = m_sessions->Find(CookieValue(request, kSessionCookie)))
            return account;
    }
    if (!credentials) {
        response.set_header("WWW-Authenticate", "Basic realm=\"Quorvia\", charset=\"UTF-8\"");
        Fail(response, 401, "sign in with the account's e-mail address and password");
        return std::nullopt;
    }
    const Accounts::SignIn signIn =
        m_accounts.Check(credentials->first, credentials->second, TruncateAddress(ClientAddress(request)));
    if (signIn.outcome == Accounts::Outcome::Limited) {
        Fail(response, 429, "too many failed sign-ins; try again later");
        return std::nullopt;
    }
    if (signIn.outcome != Accounts::Outcome::Ok) {
        response.set_header("WWW-Authenticate", "Basic realm=\"Quorvia\", charset=\"UTF-8\"");
        Fail(response, 401, "wrong login or password");
        return std::nullopt;
    }
    return signIn.account;
}

void Service::ListMessages(const httplib::Request &request, httplib::Response &response)
{
    try {
        std::optional<Account> account = Authenticate(request, response);
        if (!account)
            return;
        int limit = m_settings.pageSize;
        if (request.has_param("limit")) {
            std::optional<int64_t> asked = PositiveNumber(request.get_param_value("limit"));
            if (!asked)
                return Fail(response, 400, "limit must be a positive number");
            limit = static_cast<int>(std::min<int64_t>(*asked, m_settings.pageSize));
        }
        std::optional<int64_t> before;
        if (request.has_param("before")) {
            before = PositiveNumber(request.get_param_value("before"));
            if (!before)
                return Fail(response, 400, "before must be a message id");
        }
        // One more than asked tells whether there is a next page.
        std::vector<MessageView> messages = m_storage.ListMessages(account->id, limit + 1, before);
        nlohmann::json list = nlohmann::json::array();
        const bool more = static_cast<int>(messages.size()) > limit;
        for (int i = 0; i < static_cast<int>(messages.size()) && i < limit; ++i)
            list.push_back(MessageJson(messages[i]));
        nlohmann::json page = {{"messages", list}, {"next", nullptr}};
        if (more)
            page["next"] = "/api/v1/messages?limit=" + std::to_string(limit) +
                           "&before=" + std::to_string(messages[limit - 1].id);
        response.set_content(Dump(page), kJsonType);
    } catch (const StorageUnavailable &e) {
        Unavailable(response, "messages", e);
    }
}

void Service::OneMessage(const httplib::Request &request, httplib::Response &response)
{
    try {
        std::optional<Account> account = Authenticate(request, response);
        if (!account)
            return;
        std::optional<int64_t> id = PositiveNumber(request.matches[1]);
        if (!id)
            return Fail(response, 404, "no such message");
        if (request.method == "DELETE") {
            if (!m_storage.DeleteMessage(account->id, *id))
                return Fail(response, 404, "no such message");
            response.status = 204;
            return;
        }
        std::optional<MessageView> message = m_storage.GetMessage(account->id, *id);
        if (!message)
            return Fail(response, 404, "no such message");
        response.set_content(Dump(MessageJson(*message)), kJsonType);
    } catch (const StorageUnavailable &e) {
        Unavailable(response, "message", e);
    }
}

} // namespace quorvia
