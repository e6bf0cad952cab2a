#include "web/Pages.h"

#include "pixel/OpenRules.h"
#include "util/Hex.h"
#include "util/Log.h"
#include "web/Cookies.h"
#include "web/Html.h"

#include <httplib.h>
#include <sodium.h>

#include <cstdlib>

namespace quorvia {

struct WebPages::Visitor
{
    std::optional<Account> account;
    std::string sessionSecret; // of a live session
    std::string formSecret;    // the session's, or the form cookie's
};

namespace {

const char kReports[] = "/index.php/reports";
const char kSignIn[] = "/index.php/signin";
const char kSetupSteps[] =
    "<ol class=\"steps\"><li>In Outlook, open a new message (the compose window).</li>"
    "<li>On its <b>Message</b> tab, choose <b>Quorvia</b> &gt; <b>Setup</b>.</li>"
    "<li>Enter your e-mail address as the <b>login</b> and your Quorvia password as the <b>password</b>.</li></ol>";

std::string FormDecode(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// An application/x-www-form-urlencoded body; what is not one yields nothing.
std::multimap<std::string, std::string> ParseForm(const std::string &body)
{
    std::multimap<std::string, std::string> form;
    size_t at = 0;
    while (at <= body.size()) {
        size_t end = body.find('&', at);
        if (end == std::string::npos)
            end = body.size();
        const std::string_view pair(body.data() + at, end - at);
        const size_t equals = pair.find('=');
        if (!pair.empty())
            form.emplace(FormDecode(pair.substr(0, equals)),
                         equals == std::string_view::npos ? std::string() : FormDecode(pair.substr(equals + 1)));
        at = end + 1;
    }
    return form;
}

std::string Field(const std::multimap<std::string, std::string> &form, const std::string &name)
{
    auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

// Characters, not bytes: a person counts what they typed.
size_t Characters(const std::string &text)
{
    size_t count = 0;
    for (unsigned char c : text)
        count += (c & 0xC0) != 0x80;
    return count;
}

std::optional<int64_t> Id(const std::string &text)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int64_t value = std::strtoll(text.c_str(), nullptr, 10);
    return value > 0 ? std::optional<int64_t>(value) : std::nullopt;
}

std::string Errors(const std::vector<std::string> &errors)
{
    if (errors.empty())
        return std::string();
    std::string html = "<div class=\"errors\" role=\"alert\"><ul>";
    for (const std::string &error : errors)
        html += "<li>" + error + "</li>";
    return html + "</ul></div>";
}

std::string Input(const char *label, const char *name, const char *type, const std::string &value,
                  const char *autocomplete, const char *hint = nullptr)
{
    std::string html = std::string("<label for=\"") + name + "\">" + label + "</label><input id=\"" + name +
                       "\" name=\"" + name + "\" type=\"" + type + "\" autocomplete=\"" + autocomplete +
                       "\" required value=\"" + Escape(value) + "\">";
    if (hint)
        html += std::string("<p class=\"hint\">") + hint + "</p>";
    return html;
}

const char *StatusLabel(const std::string &status)
{
    if (status == "opened")
        return "Opened";
    if (status == "maybe")
        return "Maybe";
    return "Not yet";
}

struct KindText
{
    const char *who;
    const char *counted;
};

KindText Kind(const std::string &kind)
{
    if (kind == "person")
        return {"Person", "Yes"};
    if (kind == "prefetch")
        return {"Prefetch", "Maybe: fetched on delivery, read or not"};
    if (kind == "scanner")
        return {"Scanner", "No: a machine"};
    if (kind == "sender")
        return {"Sender", "No: your own copy"};
    return {"Unknown", "No"};
}

// Why an open's rule (pixel/OpenRules.cpp) decided what it did, for people.
std::string RuleText(const std::string &rule)
{
    static const std::pair<const char *, const char *> kTexts[] = {
        {"sender-address", "Fetched from the network your Outlook sent the message from: your own copy being shown."},
        {"apple-mpp", "Apple Mail Privacy Protection loads every image when mail arrives, whether it is read or not."},
        {"gmail-image-proxy", "Gmail fetches images through its proxy when the message is opened."},
        {"yahoo-mail-proxy", "Yahoo Mail fetches images through its proxy when the message is shown."},
        {"security-gateway", "A mail security gateway examined the message."},
        {"http-library", "A program, not a mail client, fetched the image."},
        {"headless-browser", "An automated browser fetched the image."},
        {"no-user-agent", "The client did not name itself, which mail clients always do."},
        {"outlook-desktop", "Outlook showed the message."},
        {"thunderbird", "Thunderbird showed the message."},
        {"apple-mail", "Apple Mail showed the message."},
        {"browser", "A web browser (webmail) showed the message."},
        {"unrecognised", "A client we do not know; counted so that a real read is not missed."},
    };
    for (const auto &[name, text] : kTexts)
        if (rule == name)
            return text;
    return "Rule " + Escape(rule) + ".";
}

} // namespace

WebPages::WebPages(Storage &storage, Accounts &accounts, Sessions &sessions, Mailer &mailer,
                   std::function<std::string(const httplib::Request &)> clientAddress, WebSettings settings)
    : m_storage(storage), m_accounts(accounts), m_sessions(sessions), m_mailer(mailer),
      m_clientAddress(std::move(clientAddress)), m_settings(std::move(settings)),
      m_background(std::make_unique<Background>())
{
}

void WebPages::Install(httplib::Server &server)
{
    using Handler = void (WebPages::*)(const httplib::Request &, httplib::Response &);
    auto route = [this](Handler handler) {
        return [this, handler](const httplib::Request &q, httplib::Response &r) {
            try {
                (this->*handler)(q, r);
            } catch (const StorageUnavailable &e) {
                Log("storage unavailable (%s): %s", q.path.c_str(), e.what());
                Unavailable(r);
            }
        };
    };
    server.Get("/", route(&WebPages::Home));
    server.Get("/index.php/memberreg", route(&WebPages::SignUp));
    server.Post("/index.php/memberreg", route(&WebPages::SignUp));
    server.Get("/index.php/signin", route(&WebPages::SignIn));
    server.Post("/index.php/signin", route(&WebPages::SignIn));
    server.Post("/index.php/signout", route(&WebPages::SignOut));
    server.Get("/index.php/memberforgot", route(&WebPages::Forgot));
    server.Post("/index.php/memberforgot", route(&WebPages::Forgot));
    server.Get("/index.php/memberreset", route(&WebPages::Reset));
    server.Post("/index.php/memberreset", route(&WebPages::Reset));
    server.Get("/index.php/reports", route(&WebPages::Report));
    server.Get(R"(/index.php/reports/([^/]+))", route(&WebPages::Message));
    server.Post(R"(/index.php/reports/([^/]+)/delete)", route(&WebPages::DeleteMessage));
    server.Get("/index.php/memberdelete", route(&WebPages::DeleteAccount));
    server.Post("/index.php/memberdelete", route(&WebPages::DeleteAccount));
}

WebPages::Visitor WebPages::Identify(const httplib::Request &request, httplib::Response &response)
{
    Visitor visitor;
    const std::string session = CookieValue(request, kSessionCookie);
    if (!session.empty()) {
        visitor.account = m_sessions.Find(session);
        if (visitor.account) {
            visitor.sessionSecret = visitor.formSecret = session;
            return visitor;
        }
        response.set_header("Set-Cookie", SetCookie(kSessionCookie, "", std::chrono::seconds(0)));
    }
    visitor.formSecret = CookieValue(request, kFormCookie);
    if (!Sessions::IsSecretShaped(visitor.formSecret)) {
        visitor.formSecret = Sessions::NewSecret();
        response.set_header("Set-Cookie", SetCookie(kFormCookie, visitor.formSecret, std::nullopt));
    }
    return visitor;
}

bool WebPages::FormTokenOk(const Visitor &visitor, const Form &form, httplib::Response &response)
{
    const std::string sent = Field(form, "form_token");
    const std::string expected = Sessions::FormToken(visitor.formSecret);
    if (sent.size() == expected.size() && sodium_memcmp(sent.data(), expected.data(), sent.size()) == 0)
        return true;
    Send(response, 403, visitor, "Form expired",
         "<h1>This form has expired</h1><div class=\"card narrow\"><p>The page you sent it from was older than your "
         "sign-in, or your browser did not send this site's cookies back. Go back, reload the page and try again; "
         "if it happens again, allow cookies for this site.</p><p><a href=\"/\">Start again</a></p></div>");
    return false;
}

void WebPages::Send(httplib::Response &response, int status, const Visitor &visitor, const std::string &title,
                    const std::string &main)
{
    PageFrame frame;
    frame.title = title;
    if (visitor.account) {
        frame.signedInAs = visitor.account->email;
        frame.formToken = Sessions::FormToken(visitor.sessionSecret);
    }
    SendPage(response, status, Document(frame, main));
}

void WebPages::Unavailable(httplib::Response &response)
{
    SendPage(response, 503,
             Document(PageFrame{"Unavailable", "", ""},
                      "<h1>Quorvia is unavailable for a moment</h1><div class=\"card narrow\"><p>Its storage cannot be "
                      "reached. Nothing you sent was half done; try again in a minute.</p></div>"));
}

void WebPages::Home(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    response.set_redirect(visitor.account ? kReports : kSignIn, 303);
}

void WebPages::SignUp(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    std::string email;
    std::vector<std::string> errors;
    int status = 200;
    if (request.method == "POST") {
        const Form form = ParseForm(request.body);
        if (!FormTokenOk(visitor, form, response))
            return;
        email = Field(form, "email");
        const std::string password = Field(form, "password");
        if (std::optional<std::string> problem = Accounts::AddressProblem(email))
            errors.push_back("That is not an e-mail address we can use (" + Escape(*problem) + ").");
        if (Characters(password) < 8)
            errors.push_back("The password is too short: it needs at least 8 characters.");
        else if (password != Field(form, "password2"))
            errors.push_back("The two passwords differ: type the same one twice.");
        if (errors.empty() && !m_accounts.TakeSignUp(m_clientAddress(request))) {
            status = 429;
            errors.push_back("Too many accounts were created from your network in the last hour. Try again in an "
                             "hour, or <a href=\"/index.php/signin\">sign in</a> if you have an account.");
        } else if (errors.empty()) {
            try {
                const int64_t id = m_accounts.Create(email, password);
                const std::string session = m_sessions.Start(id);
                response.set_header("Set-Cookie", SetCookie(kSessionCookie, session, Sessions::kLifetime));
                Visitor signedIn;
                signedIn.account = m_accounts.Find(email);
                signedIn.sessionSecret = signedIn.formSecret = session;
                Send(response, 201, signedIn, "Account created",
                     "<h1>Your account is ready</h1><div class=\"card\"><p>Quorvia now knows <b>" +
                         Escape(signedIn.account ? signedIn.account->email : email) +
                         "</b>. To track the messages you send, enter this account in the Outlook add-in:</p>" +
                         kSetupSteps +
                         "<p>Messages you send from then on appear in your <a href=\"/index.php/reports\">read "
                         "report</a>.</p></div>");
                return;
            } catch (const AccountExists &) {
                errors.push_back("An account for this address exists already. <a href=\"/index.php/signin\">Sign "
                                 "in</a>, or <a href=\"/index.php/memberforgot\">choose a new password</a>.");
                status = 409;
            } catch (const std::invalid_argument &e) {
                errors.push_back("That cannot be an account: " + Escape(e.what()) + ".");
            }
        }
        if (status == 200)
            status = 422;
    }
    Send(response, status, visitor, "Create an account",
         "<h1>Create a Quorvia account</h1><p class=\"lead\">Quorvia tells you when the mail you send from Outlook "
         "is read.</p><div class=\"card narrow\">" + Errors(errors) +
             "<form method=\"post\" action=\"/index.php/memberreg\" novalidate>" +
             FormTokenField(Sessions::FormToken(visitor.formSecret)) +
             Input("E-mail address", "email", "email", email, "email",
                   "The address you send mail from; it is your login in the add-in.") +
             Input("Password", "password", "password", "", "new-password", "At least 8 characters.") +
             Input("Password again", "password2", "password", "", "new-password") +
             "<button type=\"submit\">Create account</button></form></div>"
             "<p>Have an account? <a href=\"/index.php/signin\">Sign in</a>.</p>");
}

void WebPages::SignIn(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    if (request.method == "GET" && visitor.account)
        return response.set_redirect(kReports, 303);
    std::string email;
    std::vector<std::string> errors;
    int status = 200;
    if (request.method == "POST") {
        const Form form = ParseForm(request.body);
        if (!FormTokenOk(visitor, form, response))
            return;
        email = Field(form, "email");
        const Accounts::SignIn signIn = m_accounts.Check(email, Field(form, "password"), m_clientAddress(request));
        if (signIn.outcome == Accounts::Outcome::Ok) {
            // A new session id at every sign-in: one planted before it is worth nothing.
            if (!visitor.sessionSecret.empty())
                m_sessions.End(visitor.sessionSecret);
            response.set_header("Set-Cookie",
                                SetCookie(kSessionCookie, m_sessions.Start(signIn.account.id), Sessions::kLifetime));
            return response.set_redirect(kReports, 303);
        }
        if (signIn.outcome == Accounts::Outcome::Limited) {
            status = 429;
            errors.push_back("Too many failed sign-ins for this account or from your network. Wait a quarter of an "
                             "hour and try again, or <a href=\"/index.php/memberforgot\">choose a new password</a>.");
        } else {
            status = 401;
            errors.push_back("Wrong e-mail address or password.");
        }
    }
    Send(response, status, visitor, "Sign in",
         "<h1>Sign in to Quorvia</h1><p class=\"lead\">See who read the mail you sent from Outlook.</p>"
         "<div class=\"card narrow\">" + Errors(errors) +
             "<form method=\"post\" action=\"/index.php/signin\">" +
             FormTokenField(Sessions::FormToken(visitor.formSecret)) +
             Input("E-mail address", "email", "email", email, "username") +
             Input("Password", "password", "password", "", "current-password") +
             "<button type=\"submit\">Sign in</button></form>"
             "<p class=\"hint\"><a href=\"/index.php/memberforgot\">Forgot your password?</a></p></div>"
             "<p>New here? <a href=\"/index.php/memberreg\">Create an account</a>.</p>");
}

void WebPages::SignOut(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    if (!FormTokenOk(visitor, ParseForm(request.body), response))
        return;
    if (!visitor.sessionSecret.empty())
        m_sessions.End(visitor.sessionSecret);
    response.set_header("Set-Cookie", SetCookie(kSessionCookie, "", std::chrono::seconds(0)));
    response.set_redirect(kSignIn, 303);
}

void WebPages::MailResetLink(const std::string &email)
{
    const std::optional<Account> account = m_accounts.Find(email);
    if (!account)
        return;
    // Asking again and again must not fill somebody's mailbox.
    const auto now = std::chrono::steady_clock::now();
    if (m_lastResetMail.size() > 10000)
        std::erase_if(m_lastResetMail, [&](const auto &last) { return now - last.second >= m_settings.resetMailEvery; });
    auto [last, first] = m_lastResetMail.try_emplace(account->id, now);
    if (!first && now - last->second < m_settings.resetMailEvery) {
        Log("reset mail to %s not sent: one went less than %lld s ago", account->email.c_str(),
            static_cast<long long>(m_settings.resetMailEvery.count()));
        return;
    }
    last->second = now;
    const std::string link = m_settings.publicUrl + "/index.php/memberreset?token=" + m_sessions.StartReset(account->id);
    m_mailer.Send({account->email, "Choose a new Quorvia password",
                   "Hello,\n\nsomebody, probably you, asked to choose a new password for the Quorvia account " +
                       account->email + ".\n\nOpen this link to choose it (it works once, within an hour):\n\n" + link +
                       "\n\nIf it was not you, ignore this mail: your password stays as it is.\n\n"
                       "After the change, enter the new password in Outlook too: in a new message, Message tab >\n"
                       "Quorvia > Setup.\n"});
}

void WebPages::Forgot(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    std::string email;
    if (request.method == "POST") {
        const Form form = ParseForm(request.body);
        if (!FormTokenOk(visitor, form, response))
            return;
        email = Field(form, "email");
        // The look-up and the mail happen after the answer, which is the same
        // whether the address has an account or not, and as quick.
        if (!m_background->Post([this, email] { MailResetLink(email); }))
            Log("password reset not queued: too many waiting");
        return Send(response, 200, visitor, "Check your mail",
                    "<h1>Check your mail</h1><div class=\"card narrow\"><p>If <b>" + Escape(email) +
                        "</b> has a Quorvia account, a mail with a link to choose a new password is on its way. "
                        "The link works once, within an hour.</p><p>Nothing there? Look in the spam folder, or "
                        "<a href=\"/index.php/memberforgot\">ask again</a>.</p></div>");
    }
    Send(response, 200, visitor, "Forgot your password",
         "<h1>Choose a new password</h1><div class=\"card narrow\"><p>Enter your account's address; we mail you a "
         "link to choose a new password.</p><form method=\"post\" action=\"/index.php/memberforgot\">" +
             FormTokenField(Sessions::FormToken(visitor.formSecret)) +
             Input("E-mail address", "email", "email", email, "email") +
             "<button type=\"submit\">Send the link</button></form></div>");
}

void WebPages::Reset(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    const Form form = request.method == "POST" ? ParseForm(request.body) : Form();
    const std::string token = request.method == "POST" ? Field(form, "token") : request.get_param_value("token");
    const std::string spent =
        "<h1>This link does not work any more</h1><div class=\"card narrow\"><p>A link to choose a new password works "
        "once, within an hour of asking for it. <a href=\"/index.php/memberforgot\">Ask for a new one</a>.</p></div>";
    std::vector<std::string> errors;
    int status = 200;
    if (request.method == "POST") {
        if (!FormTokenOk(visitor, form, response))
            return;
        const std::string password = Field(form, "password");
        if (Characters(password) < 8)
            errors.push_back("The password is too short: it needs at least 8 characters.");
        else if (password != Field(form, "password2"))
            errors.push_back("The two passwords differ: type the same one twice.");
        if (errors.empty()) {
            const std::optional<int64_t> account = m_sessions.FindReset(token, true);
            if (!account)
                return Send(response, 410, visitor, "Link expired", spent);
            m_accounts.SetPassword(*account, password);
            // Whoever knew the old password is signed out everywhere; this browser is signed in.
            const std::string session = m_sessions.Start(*account);
            m_sessions.EndOthers(*account, session);
            response.set_header("Set-Cookie", SetCookie(kSessionCookie, session, Sessions::kLifetime));
            Visitor signedIn;
            signedIn.account = m_sessions.Find(session);
            signedIn.sessionSecret = signedIn.formSecret = session;
            return Send(response, 200, signedIn, "Password changed",
                        std::string("<h1>Your password is changed</h1><div class=\"card\"><p>Every other sign-in of "
                                    "this account has ended. Enter the new password in the Outlook add-in too:</p>") +
                            kSetupSteps + "<p><a href=\"/index.php/reports\">Go to your read report</a></p></div>");
        }
        status = 422;
    } else if (!m_sessions.FindReset(token, false)) {
        return Send(response, 410, visitor, "Link expired", spent);
    }
    Send(response, status, visitor, "Choose a new password",
         "<h1>Choose a new password</h1><div class=\"card narrow\">" + Errors(errors) +
             "<form method=\"post\" action=\"/index.php/memberreset\">" +
             FormTokenField(Sessions::FormToken(visitor.formSecret)) + "<input type=\"hidden\" name=\"token\" value=\"" +
             Escape(token) + "\">" + Input("New password", "password", "password", "", "new-password", "At least 8 characters.") +
             Input("New password again", "password2", "password", "", "new-password") +
             "<button type=\"submit\">Change password</button></form></div>");
}

void WebPages::Report(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    if (!visitor.account)
        return response.set_redirect(kSignIn, 303);
    const std::optional<int64_t> before = Id(request.get_param_value("before"));
    std::vector<MessageView> messages = m_storage.ListMessages(visitor.account->id, m_settings.pageSize + 1, before);
    const bool more = static_cast<int>(messages.size()) > m_settings.pageSize;
    if (more)
        messages.pop_back();

    std::string state, list;
    for (const MessageView &m : messages) {
        const std::string status = MessageStatus(m.opens);
        state += (state.empty() ? "" : ",") + std::to_string(m.id) + ":" + status + ":" + std::to_string(m.opens.size());
        const Open *first = FirstPersonOpen(m.opens);
        list += "<li><a class=\"subject\" href=\"/index.php/reports/" + std::to_string(m.id) + "\">" +
                (m.subject.empty() ? std::string("(no subject)") : Escape(m.subject)) + "</a><span class=\"badge " +
                status + "\">" + StatusLabel(status) + "</span><div class=\"meta\">To " + Escape(m.recipients) +
                "</div><div class=\"meta\">Sent " + TimeTag(m.sentAt) +
                (first ? " · first opened " + TimeTag(first->at) : std::string()) + "</div></li>";
    }
    std::string watch = "/api/v1/messages?limit=" + std::to_string(std::max<size_t>(messages.size(), 1));
    if (before)
        watch += "&before=" + std::to_string(*before);
    std::string main = "<h1>Your messages</h1>";
    if (request.get_param_value("deleted") == "1")
        main += "<div class=\"notice\">The message and its opens are deleted.</div>";
    main += "<div data-watch=\"" + watch + "\" data-state=\"" + state + "\" data-every=\"" +
            std::to_string(m_settings.refreshSeconds) + "\">";
    if (messages.empty())
        main += before ? "<p class=\"empty\">No older messages.</p>"
                       : std::string("<div class=\"card\"><p class=\"empty\">No tracked messages yet. Once the Outlook "
                                     "add-in knows your account, the messages you send appear here.</p>") +
                             kSetupSteps + "</div>";
    else
        main += "<ul class=\"messages\">" + list + "</ul>";
    main += "</div><div class=\"paging\">";
    main += before ? "<a href=\"/index.php/reports\">&larr; Newest</a>" : "<span></span>";
    if (more)
        main += "<a href=\"/index.php/reports?before=" + std::to_string(messages.back().id) + "\">Older &rarr;</a>";
    main += "</div>";
    if (!messages.empty())
        main += "<p class=\"hint\"><b>Opened</b>: a reader's mail client showed it. <b>Maybe</b>: only fetched on "
                "delivery (Apple Mail Privacy Protection does that, read or not). <b>Not yet</b>: no reader so far.</p>";
    main += "<noscript><p class=\"hint\">Times are in UTC; reload the page to see new opens.</p></noscript>";
    Send(response, 200, visitor, "Read report", main);
}

void WebPages::Message(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    if (!visitor.account)
        return response.set_redirect(kSignIn, 303);
    const std::optional<int64_t> id = Id(request.matches[1]);
    const std::optional<MessageView> m = id ? m_storage.GetMessage(visitor.account->id, *id) : std::nullopt;
    if (!m)
        return Send(response, 404, visitor, "No such message",
                    "<h1>No such message</h1><p>It may have been deleted. <a href=\"/index.php/reports\">All "
                    "messages</a></p>");
    const std::string status = MessageStatus(m->opens);
    const Open *first = FirstPersonOpen(m->opens);
    const std::string number = std::to_string(m->id);
    std::string main = "<p><a href=\"/index.php/reports\">&larr; All messages</a></p><h1>" +
                       (m->subject.empty() ? std::string("(no subject)") : Escape(m->subject)) +
                       "</h1><div data-watch=\"/api/v1/messages/" + number + "\" data-state=\"" + number + ":" +
                       status + ":" + std::to_string(m->opens.size()) + "\" data-every=\"" +
                       std::to_string(m_settings.refreshSeconds) + "\"><div class=\"card\"><dl class=\"facts\"><dt>To</dt><dd>" +
                       Escape(m->recipients) + "</dd><dt>Sent</dt><dd>" + TimeTag(m->sentAt) +
                       "</dd><dt>Status</dt><dd><span class=\"badge " + status + "\">" + StatusLabel(status) +
                       "</span>" + (first ? " first opened " + TimeTag(first->at) : std::string()) + "</dd></dl></div>";
    main += "<h2>Opens (" + std::to_string(m->opens.size()) + ")</h2>";
    if (m->opens.empty()) {
        main += "<p class=\"empty\">Nobody has shown the message yet. This page updates by itself.</p>";
    } else {
        main += "<table class=\"opens\"><thead><tr><th>When</th><th>Who</th><th>Counted</th><th>Why</th>"
                "<th>Client</th><th>Network</th></tr></thead><tbody>";
        for (const Open &open : m->opens) {
            const KindText kind = Kind(open.kind);
            main += "<tr><td data-label=\"When\">" + TimeTag(open.at) + "</td><td data-label=\"Who\">" + kind.who +
                    "</td><td data-label=\"Counted\">" + kind.counted + "</td><td data-label=\"Why\">" +
                    RuleText(open.rule) + "</td><td class=\"client\" data-label=\"Client\">" +
                    (open.userAgent.empty() ? std::string("(none)") : Escape(open.userAgent)) +
                    "</td><td data-label=\"Network\">" + Escape(open.clientAddress) + "</td></tr>";
        }
        main += "</tbody></table>";
    }
    main += "</div><form class=\"actions\" method=\"post\" action=\"/index.php/reports/" + number + "/delete\">" +
            FormTokenField(Sessions::FormToken(visitor.formSecret)) +
            "<button class=\"quiet\" type=\"submit\">Delete this message and its opens</button></form>";
    Send(response, 200, visitor, m->subject.empty() ? "(no subject)" : m->subject, main);
}

void WebPages::DeleteMessage(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    if (!FormTokenOk(visitor, ParseForm(request.body), response))
        return;
    if (!visitor.account)
        return response.set_redirect(kSignIn, 303);
    const std::optional<int64_t> id = Id(request.matches[1]);
    if (!id || !m_storage.DeleteMessage(visitor.account->id, *id))
        return Send(response, 404, visitor, "No such message",
                    "<h1>No such message</h1><p><a href=\"/index.php/reports\">All messages</a></p>");
    response.set_redirect("/index.php/reports?deleted=1", 303);
}

void WebPages::DeleteAccount(const httplib::Request &request, httplib::Response &response)
{
    const Visitor visitor = Identify(request, response);
    if (!visitor.account)
        return response.set_redirect(kSignIn, 303);
    std::vector<std::string> errors;
    int status = 200;
    if (request.method == "POST") {
        const Form form = ParseForm(request.body);
        if (!FormTokenOk(visitor, form, response))
            return;
        const Accounts::SignIn check =
            m_accounts.Check(visitor.account->email, Field(form, "password"), m_clientAddress(request));
        if (check.outcome == Accounts::Outcome::Ok && check.account.id == visitor.account->id) {
            m_storage.DeleteAccount(visitor.account->id);
            response.set_header("Set-Cookie", SetCookie(kSessionCookie, "", std::chrono::seconds(0)));
            return Send(response, 200, Visitor(), "Account deleted",
                        "<h1>Your account is deleted</h1><div class=\"card narrow\"><p>Its messages, their opens and "
                        "its sign-ins are gone. The Outlook add-in can no longer track mail with it; remove it in "
                        "Quorvia &gt; Setup.</p></div>");
        }
        status = check.outcome == Accounts::Outcome::Limited ? 429 : 401;
        errors.push_back(check.outcome == Accounts::Outcome::Limited
                             ? "Too many failed sign-ins for this account. Wait a quarter of an hour and try again."
                             : "That is not the account's password.");
    }
    Send(response, status, visitor, "Your account",
         "<h1>Your account</h1><div class=\"card\"><h2>Outlook</h2><p>The add-in signs in as <b>" +
             Escape(visitor.account->email) + "</b> with your Quorvia password:</p>" + kSetupSteps +
             "<h2>Password</h2><p>To change it, <a href=\"/index.php/memberforgot\">get a link by mail</a>.</p></div>"
             "<h2 id=\"delete\">Delete your account</h2><div class=\"card narrow\">" +
             Errors(errors) + "<p>This deletes the account with every tracked message and every open, at once and "
             "for good.</p><form method=\"post\" action=\"/index.php/memberdelete\">" +
             FormTokenField(Sessions::FormToken(visitor.formSecret)) +
             Input("Your password, to confirm", "password", "password", "", "current-password") +
             "<button class=\"danger\" type=\"submit\">Delete my account and all its data</button></form></div>");
}

} // namespace quorvia
