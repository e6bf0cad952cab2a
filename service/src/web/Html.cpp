#include "web/Html.h"

#include "api/MessageJson.h"

#include <httplib.h>
#include <sodium.h>

namespace quorvia {
namespace {

// Readable on a phone and a desktop: the system's fonts, one fluid column.
const char kStyle[] = R"(
:root{color-scheme:light;--ink:#1d2430;--muted:#5b6575;--line:#d9dee6;--bg:#f5f7fa;--accent:#1f5fbf;
--ok:#17663a;--ok-bg:#e3f4e9;--maybe:#7a5300;--maybe-bg:#fdf1d6;--no:#4a5261;--no-bg:#eceff3;--bad:#a3261b;--bad-bg:#fbe9e7}
*{box-sizing:border-box}
body{margin:0;font:16px/1.5 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;color:var(--ink);background:var(--bg)}
header{background:#fff;border-bottom:1px solid var(--line)}
.bar{max-width:60rem;margin:0 auto;padding:.6rem 1rem;display:flex;flex-wrap:wrap;gap:.4rem 1rem;align-items:center}
.brand{font-weight:700;font-size:1.15rem;color:var(--ink);text-decoration:none;margin-right:auto}
.bar a{color:var(--accent)}
.bar a.brand{color:var(--ink)}
.who{color:var(--muted);font-size:.9rem;overflow-wrap:anywhere}
.bar form{margin:0}
main{max-width:60rem;margin:0 auto;padding:1rem}
h1{font-size:1.5rem;margin:.5rem 0 1rem;overflow-wrap:anywhere}
h2{font-size:1.15rem;margin:1.5rem 0 .5rem}
a{color:var(--accent)}
.card{background:#fff;border:1px solid var(--line);border-radius:8px;padding:1rem 1.2rem;margin:0 0 1rem}
.card>:first-child{margin-top:0}
.card>:last-child{margin-bottom:0}
.narrow{max-width:28rem}
label{display:block;font-weight:600;margin:.8rem 0 .25rem}
form>label:first-of-type{margin-top:0}
.lead{color:var(--muted);margin:-.5rem 0 1rem}
input[type=email],input[type=password],input[type=text]{width:100%;font:inherit;padding:.55rem .65rem;border:1px solid #aab3c0;border-radius:6px;background:#fff}
input:focus{outline:2px solid var(--accent);outline-offset:1px}
button{font:inherit;padding:.55rem 1.1rem;border-radius:6px;border:1px solid var(--accent);background:var(--accent);color:#fff;cursor:pointer;margin-top:1rem}
button.link{background:none;border:none;color:var(--accent);padding:0;margin:0;text-decoration:underline}
button.danger{background:var(--bad);border-color:var(--bad)}
button.quiet{background:#fff;color:var(--bad);border-color:var(--bad)}
.actions{margin-top:2rem}
.hint{color:var(--muted);font-size:.9rem;margin:.25rem 0 0}
.errors{border:1px solid var(--bad);background:var(--bad-bg);color:var(--bad);border-radius:6px;padding:.6rem 1rem;margin:0 0 1rem}
.errors ul{margin:0;padding-left:1.2rem}
.notice{border:1px solid #9cc0ee;background:#eaf2fd;border-radius:6px;padding:.6rem 1rem;margin:0 0 1rem}
ol.steps li{margin:.3rem 0}
code,kbd{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:.92em;background:var(--bg);border:1px solid var(--line);border-radius:4px;padding:0 .3em;overflow-wrap:anywhere}
ul.messages{list-style:none;margin:0;padding:0}
ul.messages li{background:#fff;border:1px solid var(--line);border-radius:8px;padding:.75rem 1rem;margin:0 0 .6rem;display:grid;grid-template-columns:minmax(0,1fr) auto;gap:.15rem 1rem}
.subject{font-weight:600;overflow-wrap:anywhere;text-decoration:none}
.subject:hover{text-decoration:underline}
.meta{color:var(--muted);font-size:.9rem;overflow-wrap:break-word;grid-column:1/-1}
.badge{display:inline-block;border-radius:999px;padding:.1rem .65rem;font-size:.85rem;font-weight:600;white-space:nowrap;align-self:start}
.opened{background:var(--ok-bg);color:var(--ok)}
.maybe{background:var(--maybe-bg);color:var(--maybe)}
.unopened{background:var(--no-bg);color:var(--no)}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:.3rem 1rem;margin:0}
dl.facts dt{color:var(--muted)}
dl.facts dd{margin:0;overflow-wrap:anywhere}
table.opens{width:100%;border-collapse:collapse;background:#fff;border:1px solid var(--line);border-radius:8px;font-size:.93rem}
table.opens th,table.opens td{text-align:left;padding:.5rem .6rem;border-bottom:1px solid var(--line);vertical-align:top}
table.opens th{background:var(--bg);font-weight:600}
td.client{overflow-wrap:anywhere;color:var(--muted);font-size:.85rem;max-width:18rem}
.paging{display:flex;justify-content:space-between;gap:1rem;margin:1rem 0}
.empty{color:var(--muted)}
@media (max-width:40rem){
 main{padding:.75rem}
 table.opens,table.opens tbody,table.opens tr,table.opens td{display:block;width:100%}
 table.opens thead{display:none}
 table.opens tr{border-bottom:1px solid var(--line);padding:.4rem 0}
 table.opens td{border:none;padding:.1rem .75rem;max-width:none}
 table.opens td::before{content:attr(data-label) ": ";font-weight:600;color:var(--ink)}
 dl.facts{grid-template-columns:1fr}
 dl.facts dd{margin-bottom:.4rem}
}
)";

// Times in the reader's zone; a page that watches its data reloads when the
// API tells of a change (a new message, an open).
const char kScript[] = R"(
(function () {
  var format = new Intl.DateTimeFormat(undefined, {dateStyle: 'medium', timeStyle: 'short'});
  document.querySelectorAll('time[datetime]').forEach(function (t) {
    var d = new Date(t.getAttribute('datetime'));
    if (!isNaN(d)) { t.title = t.textContent; t.textContent = format.format(d); }
  });
  var watched = document.querySelector('[data-watch]');
  if (!watched) return;
  function state(json) {
    return (json.messages || [json]).map(function (m) {
      return m.id + ':' + m.status + ':' + m.opens.length;
    }).join(',');
  }
  setInterval(function () {
    fetch(watched.getAttribute('data-watch'), {credentials: 'same-origin', headers: {Accept: 'application/json'}})
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (json) { if (json && state(json) !== watched.getAttribute('data-state')) location.reload(); })
      .catch(function () {});
  }, 1000 * Number(watched.getAttribute('data-every')));
})();
)";

std::string Sha256Base64(const char *text, size_t size)
{
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(text), size);
    char out[sodium_base64_ENCODED_LEN(sizeof digest, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(out, sizeof out, digest, sizeof digest, sodium_base64_VARIANT_ORIGINAL);
    return out;
}

const std::string &ContentSecurityPolicy()
{
    static const std::string policy = "default-src 'none'; style-src 'sha256-" +
                                      Sha256Base64(kStyle, sizeof kStyle - 1) + "'; script-src 'sha256-" +
                                      Sha256Base64(kScript, sizeof kScript - 1) +
                                      "'; connect-src 'self'; img-src 'self'; form-action 'self'; "
                                      "frame-ancestors 'none'; base-uri 'none'";
    return policy;
}

} // namespace

std::string Escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += "\xEF\xBF\xBD";
            else
                out += c;
        }
    }
    return out;
}

std::string Document(const PageFrame &frame, const std::string &main)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       "<meta name=\"referrer\" content=\"no-referrer\">"
                       "<title>" + Escape(frame.title) + " · Quorvia</title><style>" + kStyle +
                       "</style></head><body><header><div class=\"bar\"><a class=\"brand\" href=\"/\">Quorvia</a>";
    if (!frame.signedInAs.empty())
        html += "<a href=\"/index.php/reports\">Read report</a><a href=\"/index.php/memberdelete\">Account</a>"
                "<span class=\"who\">" + Escape(frame.signedInAs) + "</span>"
                "<form method=\"post\" action=\"/index.php/signout\">" + FormTokenField(frame.formToken) +
                "<button class=\"link\" type=\"submit\">Sign out</button></form>";
    else
        html += "<a href=\"/index.php/signin\">Sign in</a><a href=\"/index.php/memberreg\">Create an account</a>";
    html += "</div></header><main>" + main + "</main><script>" + kScript + "</script></body></html>\n";
    return html;
}

void SendPage(httplib::Response &response, int status, const std::string &document)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_header("Content-Security-Policy", ContentSecurityPolicy());
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    response.set_content(document, "text/html; charset=utf-8");
}

std::string TimeTag(TimePoint at)
{
    const std::string iso = IsoTime(at);
    // 2026-12-09T15:29:53.123Z -> 2026-12-09 15:29 UTC
    return "<time datetime=\"" + iso + "\">" + iso.substr(0, 10) + " " + iso.substr(11, 5) + " UTC</time>";
}

std::string FormTokenField(const std::string &token)
{
    return "<input type=\"hidden\" name=\"form_token\" value=\"" + Escape(token) + "\">";
}

} // namespace quorvia
