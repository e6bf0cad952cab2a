// The stand-in Outlook behind ./quorvia demo: the shipped add-in DLL at work
// on one message, start to finish, as Outlook drives it.
//
// It registers QuorviaAddin.dll with regsvr32, creates the add-in by its
// ProgID through COM, uses the Quorvia service that demo/run.sh started at the
// add-in's own URL (or starts a stand-in there that can be told to fail or be
// slow, or uses one already listening), starts Outlook, opens a compose window
// (or, with editor = inline, composes a reply in the main window's reading
// pane), switches tracking on or off with the add-in's control (the ribbon's
// Tracking toggle in today's Outlook, the toolbar's button in Outlook 2003; it
// says which), sends, and prints the message before and after, the request the
// service received (decoded), what the user was asked and answered, and the
// add-in's log. Then it quits, releases the add-in, asks DllCanUnloadNow and
// unregisters.
//
// The scenario comes from a small file of `key = value` lines and/or
// `--set key=value`; the demo's own is the default (--help lists the keys).
// The final body is written byte for byte (UTF-8 for HTMLBody, the property's
// own bytes for a stream body) to --body-out FILE and between markers on stdout.

#include "host/DialogRobot.h"
#include "host/Regsvr32.h"
#include "host/Outlook.h"
#include "host/TrackingService.h"

#include "addin/Extensibility.h"
#include "com/ComPtr.h"
#include "com/Guids.h"
#include "com/Resources.h"
#include "tracking/ExchangeProgress.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kClsidKey[] = "CLSID\\{6F3B2C1A-9D4E-4B7A-8C21-5E0F7A9B3D64}";
const char kProgId[] = "QuorviaAddinForOutlook";
const char kAddinKey[] = "Software\\Microsoft\\Office\\Outlook\\Addins\\QuorviaAddinForOutlook";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";
const char kCaption[] = "Quorvia Outlook Add-in";

using Scenario = std::map<std::string, std::string>;

// The demo's own scenario: a first start without an account, then a tracked
// message in several scripts whose body already carries an earlier tracking
// element and closes with an upper-case </BODY>.
Scenario DefaultScenario()
{
    return {
        {"login", ""},
        {"password", ""},
        {"answer_account_prompt", "yes"},
        // The demo account, which demo/run.sh creates in the service when missing.
        {"setup_login", "demo@quorvia.example"},
        {"setup_password", "quorvia-demo"},
        {"to", "Анна Петрова <anna@example.ru>; José Núñez <jose@example.es>"},
        {"cc", "王伟 <wei@example.cn>"},
        {"bcc", "archive@example.com"},
        {"subject", "Quarterly numbers \xF0\x9F\x93\x88 / Квартальные цифры"},
        {"format", "html"},
        {"body", "<html><head><title>Q3</title></head><BODY><p>Hello all,</p>\\n"
                 "<p>the figures: 12 % up, € 4.2m \xF0\x9F\x98\x80 — 中文 too.</p>\\n"
                 "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/old-1\"></BODY></html>"},
        {"outlook", "2016"},
        {"editor", "outlook"},
        {"tracking", "on"},
        {"answer_html_only", "no"},
        {"answer_contact", "yes"},
        {"answer_authorization", "yes"},
        {"service", "quorvia"},
        {"service_status", "200"},
        {"service_delay_ms", "0"},
        {"answer_progress", "wait"},
        {"service_reply", "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/7f3a9c\" width=1 height=1>"},
    };
}

const char kHelp[] =
    "usage: outlook_standin [--scenario FILE] [--set key=value]... [--external-service] [--body-out FILE]\n"
    "       outlook_standin [scenario options] --print-account   (service=, login=, password= lines, for run.sh)\n"
    "keys (the demo's defaults in brackets are printed at the start of each run):\n"
    "  login, password          the account stored before Outlook starts (empty: first start, no account)\n"
    "  answer_account_prompt    yes|no to \"configure your Quorvia account\"\n"
    "  setup_login, setup_password   typed into the setup dialog, which is answered Ok\n"
    "  to, cc, bcc, subject     the message (UTF-8)\n"
    "  format                   html (HTMLBody) | pr_html | pr_body_html (body only in that MAPI stream, with\n"
    "                           outlook = 2003) | plain | rtf\n"
    "  body                     the body (UTF-8; \\n for a line break), or body_file = a file's bytes\n"
    "  outlook                  2016 (Outlook 2016 to Microsoft 365, classic) | 2003\n"
    "  editor                   outlook | word (Outlook 2003's choice; today's Outlook edits every window with Word)\n"
    "                           | inline (2016: a reply composed in the main window's reading pane, with no\n"
    "                           compose window, and sent from there)\n"
    "  tracking                 on | off\n"
    "  answer_html_only, answer_contact, answer_authorization   yes|no to those questions\n"
    "  service                  quorvia (the real service, which demo/run.sh starts; it answers for itself)\n"
    "                           | internal (start a stand-in at the add-in's URL) | external (one is listening)\n"
    "  service_status, service_reply   what the internal stand-in answers (status 0: drop the connection)\n"
    "  service_delay_ms         how long the internal stand-in waits before it answers\n"
    "  answer_progress          wait | send | cancel: what the user does with the window a slow exchange shows\n";

std::wstring Wide(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &out[0], n);
    return out;
}

std::string Unescape(const std::string &value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += value[i];
        }
    }
    return out;
}

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool SetKey(Scenario &scenario, const std::string &assignment)
{
    size_t eq = assignment.find('=');
    if (eq == std::string::npos)
        return false;
    std::string key = Trim(assignment.substr(0, eq));
    if (!scenario.count(key) && key != "body_file")
        return false;
    scenario[key] = Trim(assignment.substr(eq + 1));
    return true;
}

bool ReadFileBytes(const std::string &path, std::string &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    return true;
}

bool LoadScenarioFile(Scenario &scenario, const std::string &path)
{
    std::string text;
    if (!ReadFileBytes(path, text)) {
        fprintf(stderr, "cannot read scenario file %s\n", path.c_str());
        return false;
    }
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        if (!SetKey(scenario, trimmed)) {
            fprintf(stderr, "%s:%d: not a known key = value line: %s\n", path.c_str(), number, trimmed.c_str());
            return false;
        }
    }
    return true;
}

bool Yes(const Scenario &s, const char *key)
{
    return s.at(key) == "yes" || s.at(key) == "on" || s.at(key) == "1";
}

void Heading(const std::string &text)
{
    printf("\n== %s\n", text.c_str());
}

void PrintHr(const char *call, HRESULT hr)
{
    printf("  %-56s -> 0x%08lX%s\n", call, (unsigned long)hr, hr == S_OK ? " S_OK" : hr == S_FALSE ? " S_FALSE" : "");
}

// Runs regsvr32 and shows the command and its exit code.
DWORD RunRegsvr32(const std::string &arguments)
{
    DWORD code = host::RunRegsvr32(arguments);
    printf("  %-56s -> exit code %lu\n", ("regsvr32.exe " + arguments).c_str(), (unsigned long)code);
    return code;
}

bool KeyExists(HKEY root, const char *path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void PrintRegistrationState()
{
    printf("  HKCR\\%s: %s\n", kClsidKey, KeyExists(HKEY_CLASSES_ROOT, kClsidKey) ? "present" : "absent");
    printf("  HKCR\\%s: %s\n", kProgId, KeyExists(HKEY_CLASSES_ROOT, kProgId) ? "present" : "absent");
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kAddinKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD load = 0, size = sizeof load;
        RegQueryValueExA(key, "LoadBehavior", nullptr, nullptr, reinterpret_cast<BYTE *>(&load), &size);
        RegCloseKey(key);
        printf("  HKCU\\%s: LoadBehavior=%lu\n", kAddinKey, (unsigned long)load);
    } else {
        printf("  HKCU\\%s: absent\n", kAddinKey);
    }
}

std::string ReadSetting(const char *name)
{
    char value[1024] = {};
    DWORD size = sizeof value - 1;
    if (RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_ANY, nullptr, value, &size) != ERROR_SUCCESS)
        return "(none)";
    return value;
}

void StoreAccount(const Scenario &s)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
    if (s.at("login").empty() && s.at("password").empty())
        return;
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr))
        return;
    RegSetValueExA(key, "login", 0, REG_SZ, reinterpret_cast<const BYTE *>(s.at("login").c_str()),
                   (DWORD)s.at("login").size());
    RegSetValueExA(key, "password", 0, REG_SZ, reinterpret_cast<const BYTE *>(s.at("password").c_str()),
                   (DWORD)s.at("password").size());
    RegCloseKey(key);
}

std::string LogPath()
{
    char directory[MAX_PATH] = {};
    GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\Quorvia.log";
}

long long FileSize(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void PrintLogSince(long long offset)
{
    std::string all;
    if (!ReadFileBytes(LogPath(), all)) {
        printf("  (no log at %s)\n", LogPath().c_str());
        return;
    }
    std::istringstream lines(all.substr(static_cast<size_t>(offset)));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        printf("  | %s\n", line.c_str());
    }
}

// Answers every box the add-in shows from the scenario: the setup dialog gets
// the scenario's account and Ok; the questions get their scenario answers.
host::DialogRobot::Handler Answerer(const Scenario &s)
{
    return [&s](HWND box) -> int {
        if (GetDlgItem(box, ExchangeProgress::kSubject)) {
            wchar_t subject[256] = {};
            GetDlgItemTextW(box, ExchangeProgress::kSubject, subject, 256);
            printf("  (a window says the message is being prepared for tracking: \"%s\"; the user: %s)\n",
                   Utf8FromWide(subject).c_str(), s.at("answer_progress").c_str());
            if (s.at("answer_progress") == "send")
                return ExchangeProgress::kSendWithoutTracking;
            if (s.at("answer_progress") == "cancel")
                return ExchangeProgress::kCancel;
            return 0; // waits on; the window goes with the exchange
        }
        if (GetDlgItem(box, 107) && GetDlgItem(box, 108)) {
            SetDlgItemTextA(box, 107, s.at("setup_login").c_str());
            SetDlgItemTextA(box, 108, s.at("setup_password").c_str());
            return IDOK;
        }
        char text[1024] = {};
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        std::string t(text);
        auto answer = [&](const char *key) { return Yes(s, key) ? IDYES : IDNO; };
        if (t.find("configure your Quorvia account") != std::string::npos)
            return answer("answer_account_prompt");
        if (t.find("only for HTML") != std::string::npos)
            return answer("answer_html_only");
        if (t.find("Unable to contact") != std::string::npos)
            return answer("answer_contact");
        if (t.find("Unable to authorize") != std::string::npos)
            return answer("answer_authorization");
        return GetDlgItem(box, IDOK) ? IDOK : IDNO;
    };
}

host::ComposeSpec Compose(const Scenario &s)
{
    host::ComposeSpec plan;
    plan.to = Wide(s.at("to"));
    plan.cc = Wide(s.at("cc"));
    plan.bcc = Wide(s.at("bcc"));
    plan.subject = Wide(s.at("subject"));
    std::string body = s.count("body_file") ? s.at("body_file") : Unescape(s.at("body"));
    const std::string &format = s.at("format");
    plan.bodyIn = format == "pr_html"        ? host::BodyIn::PrHtml
                  : format == "pr_body_html" ? host::BodyIn::PrBodyHtml
                  : format == "plain"        ? host::BodyIn::PlainText
                  : format == "rtf"          ? host::BodyIn::RichText
                                             : host::BodyIn::HtmlBody;
    plan.html = Wide(body);
    plan.stream = body;
    return plan;
}

// The body as it stands (or as it went out): UTF-8 for HTMLBody, the
// stream's own bytes otherwise.
std::string BodyBytes(host::MailItem &item, host::MapiMessage &message, const Scenario &s)
{
    const auto &sent = item.Sent();
    const std::string &format = s.at("format");
    if (format == "pr_html")
        return sent && sent->html ? *sent->html : message.Bytes(host::kPrHtml);
    if (format == "pr_body_html")
        return sent && sent->bodyHtml ? *sent->bodyHtml : message.Bytes(host::kPrBodyHtml);
    if (format == "plain" || format == "rtf") {
        // A plain-text message is never changed: its text is what goes out.
        Variant text = item.Value("Body");
        return text.Type() == VT_BSTR && text.Get()->bstrVal ? Utf8FromWide(text.Get()->bstrVal) : std::string();
    }
    if (sent)
        return Utf8FromWide(sent->htmlBody.value_or(std::wstring()));
    return Utf8FromWide(item.HtmlBody());
}

// The first toggle of the add-in's on a compose window's ribbon or on the
// inline response's tab, or "" (Outlook 2003, or no ribbon of the add-in's).
std::string RibbonToggle(host::Outlook &outlook, host::RibbonKind kind)
{
    const host::CustomUI *ui = outlook.Ribbon().Definition(kind);
    if (!ui)
        return std::string();
    for (const host::RibbonControlXml &control : kind == host::RibbonKind::Compose ? ui->compose : ui->inlineResponse)
        if (control.type == "toggleButton" || control.type == "checkBox")
            return control.Id();
    return std::string();
}

// Clicks the window's ribbon toggle until it shows the wanted state (at most
// twice); Outlook's loop then shows what the add-in's switch says.
template <class Window>
void SetRibbonToggle(host::Outlook &outlook, Window &window, const std::string &toggle, bool wanted)
{
    for (int i = 0; i < 2 && outlook.RibbonState(window, toggle) && outlook.RibbonState(window, toggle)->pressed != wanted;
         ++i) {
        PrintHr(("click on the ribbon's " + toggle).c_str(), outlook.ClickRibbon(window, toggle));
        outlook.Idle();
    }
    const host::RibbonControlState *state = outlook.RibbonState(window, toggle);
    printf("  %s: %s\n", toggle.c_str(), !state ? "not shown" : state->pressed ? "pressed" : "not pressed");
}

void PrintBody(const std::string &label, const std::string &bytes)
{
    printf("  ----- %s (%zu bytes) -----\n", label.c_str(), bytes.size());
    fflush(stdout);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    printf("\n  ----- end -----\n");
}

void PrintRequests(const host::TrackingService &service)
{
    auto requests = service.Requests();
    if (requests.empty()) {
        printf("  (no request reached the service)\n");
        return;
    }
    for (const auto &request : requests) {
        printf("  %s %s\n", request.method.c_str(), request.target.c_str());
        printf("  Content-Type: %s\n", request.Header("Content-Type").c_str());
        printf("  User-Agent: %s\n", request.Header("User-Agent").c_str());
        printf("  body: %s\n", request.body.c_str());
        host::TrackingForm form;
        if (host::DecodeTrackingForm(request.body, form)) {
            printf("  decoded: login=%s password=%s\n", form.login.c_str(), form.password.c_str());
            printf("           to=%s\n", form.to.c_str());
            printf("           subj=%s raw=%s\n", form.subj.c_str(), form.raw.c_str());
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    _setmode(_fileno(stdout), _O_BINARY); // bodies and UTF-8 text go out untouched
    SetConsoleOutputCP(CP_UTF8);

    Scenario s = DefaultScenario();
    bool printAccount = false;
    std::string bodyOut;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--scenario" && i + 1 < argc) {
            if (!LoadScenarioFile(s, argv[++i]))
                return 2;
        } else if (arg == "--set" && i + 1 < argc) {
            if (!SetKey(s, argv[++i])) {
                fprintf(stderr, "unknown key in --set %s (see --help)\n", argv[i]);
                return 2;
            }
        } else if (arg == "--external-service") {
            s["service"] = "external";
        } else if (arg == "--body-out" && i + 1 < argc) {
            bodyOut = argv[++i];
        } else if (arg == "--print-account") {
            printAccount = true;
        } else {
            fprintf(stderr, "unknown argument %s\n%s", arg.c_str(), kHelp);
            return 2;
        }
    }
    if (s.count("body_file")) {
        std::string bytes;
        if (!ReadFileBytes(s["body_file"], bytes)) {
            fprintf(stderr, "cannot read body_file %s\n", s["body_file"].c_str());
            return 2;
        }
        s["body_file"] = bytes;
    }
    const std::string &serviceKind = s.at("service");
    if (serviceKind != "quorvia" && serviceKind != "internal" && serviceKind != "external") {
        fprintf(stderr, "service must be quorvia, internal or external, not %s\n", serviceKind.c_str());
        return 2;
    }
    if (printAccount) {
        // The account the add-in will sign in with: the stored one, else the
        // one typed into the setup dialog at the first start, if it is shown.
        const bool stored = !s.at("login").empty() || !s.at("password").empty();
        const bool typed = !stored && Yes(s, "answer_account_prompt");
        printf("service=%s\nlogin=%s\npassword=%s\n", serviceKind.c_str(),
               stored ? s.at("login").c_str() : typed ? s.at("setup_login").c_str() : "",
               stored ? s.at("password").c_str() : typed ? s.at("setup_password").c_str() : "");
        return 0;
    }
    if (s.at("outlook") != "2016" && s.at("outlook") != "2003") {
        fprintf(stderr, "outlook must be 2016 or 2003, not %s\n", s.at("outlook").c_str());
        return 2;
    }
    const bool outlook2003 = s.at("outlook") == "2003";
    if (s.at("editor") != "outlook" && s.at("editor") != "word" && s.at("editor") != "inline") {
        fprintf(stderr, "editor must be outlook, word or inline, not %s\n", s.at("editor").c_str());
        return 2;
    }
    const bool inlineReply = s.at("editor") == "inline";
    if (inlineReply && outlook2003) {
        fprintf(stderr, "editor = inline needs outlook = 2016: Outlook 2003 has no inline responses\n");
        return 2;
    }
    host::PlayOutlook playing(outlook2003 ? host::Generation::Outlook2003 : host::Generation::Outlook2016);

    printf("Quorvia add-in demo: the shipped DLL in a stand-in Outlook (Wine, private namespace)\n");
    printf("scenario:\n");
    for (const auto &entry : s)
        if (entry.first != "body" && entry.first != "body_file")
            printf("  %-22s = %s\n", entry.first.c_str(), entry.second.c_str());

    std::string dll = host::ProgramDirectory() + "\\QuorviaAddin.dll";
    long long logStart = FileSize(LogPath());
    StoreAccount(s);

    Heading("Registering the add-in as its installer would");
    if (RunRegsvr32("/s \"" + dll + "\"") != 0) {
        printf("registration failed\n");
        return 1;
    }
    PrintRegistrationState();

    int status = 0;
    CoInitialize(nullptr);
    {
        Heading("Outlook creates the add-in by its ProgID");
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"QuorviaAddinForOutlook", &clsid);
        PrintHr("CLSIDFromProgID(\"QuorviaAddinForOutlook\")", hr);
        ComPtr<IDTExtensibility2> addin;
        if (SUCCEEDED(hr)) {
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDTExtensibility2, addin.ReceiveVoid());
            PrintHr("CoCreateInstance(IDTExtensibility2)", hr);
        }
        if (!addin) {
            printf("the add-in could not be created\n");
            RunRegsvr32("/s /u \"" + dll + "\"");
            return 1;
        }
        ComPtr<IDispatch> dispatch;
        PrintHr("QueryInterface(IDispatch)", addin->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()));
        dispatch.Reset();

        std::unique_ptr<host::TrackingService> service;
        if (serviceKind == "internal") {
            service = std::make_unique<host::TrackingService>();
            if (!service->Listening()) {
                printf("the stand-in service could not listen on 127.0.0.1:80\n");
                return 1;
            }
            int statusCode = atoi(s.at("service_status").c_str());
            host::Answer answer = statusCode == 0     ? host::Answer::Dropped()
                                  : statusCode == 200 ? host::Answer::Fragment(s.at("service_reply"))
                                                      : host::Answer::Error(statusCode);
            service->SetAnswer(answer.Delayed(static_cast<DWORD>(atoi(s.at("service_delay_ms").c_str()))));
        }

        host::DialogRobot robot;
        for (int i = 0; i < 16; ++i)
            robot.Expect(kCaption, Answerer(s));

        host::Outlook outlook;
        outlook.Load(addin.Get());
        Heading(outlook2003 ? "Outlook 2003 starts and connects the add-in"
                            : "Outlook 2016/365 (classic) starts and connects the add-in");
        PrintHr("OnConnection(ext_cm_Startup) + OnStartupComplete", outlook.Start());
        printf("  Outlook's message loop runs: a question the add-in left for later is asked now\n");
        outlook.Idle();
        printf("  account in the registry now: login=%s, password %s, in clear: %s\n", ReadSetting("login").c_str(),
               ReadSetting("protected password") == "(none)" ? "(none)" : "encrypted for this user",
               ReadSetting("password").c_str());

        host::Explorer &explorer = outlook.MainExplorer();
        host::OutlookWindow *window = nullptr;
        host::ComposedItem *reply = nullptr;
        if (inlineReply) {
            reply = outlook.ReplyInline(explorer, Compose(s));
            Heading("A reply is composed inline in the main window (no compose window, no NewInspector)");
        } else {
            host::OpenSpec open;
            open.compose = Compose(s);
            open.editor = s.at("editor") == "word" ? host::Editor::Word : host::Editor::Outlook;
            window = &outlook.Open(open);
            Heading("A compose window opens");
        }
        host::MailItem &item = window ? window->Item() : reply->Item();
        host::MapiMessage &message = window ? window->Message() : reply->Message();
        printf("  To:      %s\n  Cc:      %s\n  Bcc:     %s\n  Subject: %s\n  Format:  %s\n",
               s.at("to").c_str(), s.at("cc").c_str(), s.at("bcc").c_str(), s.at("subject").c_str(),
               s.at("format").c_str());
        // Today's Outlook shows the add-in's ribbon and no toolbar; Outlook 2003 the toolbar.
        const std::string toggle =
            RibbonToggle(outlook, window ? host::RibbonKind::Compose : host::RibbonKind::Explorer);
        host::CommandBarButton *tracking = window ? window->Button(host::ToolbarButton::Tracking) : nullptr;
        printf("  UI: %s\n", !toggle.empty() ? (window ? "ribbon (the compose window's Quorvia group)"
                                                       : "ribbon (the Quorvia group on the inline response's tab)")
                             : tracking     ? "toolbar (\"Quorvia\" with Tracking and Setup)"
                                            : "none of the add-in's");
        PrintBody("message before", BodyBytes(item, message, s));

        bool wantTracking = Yes(s, "tracking");
        if (!toggle.empty() && window) {
            SetRibbonToggle(outlook, *window, toggle, wantTracking);
        } else if (!toggle.empty()) {
            SetRibbonToggle(outlook, explorer, toggle, wantTracking);
        } else if (tracking) {
            for (int i = 0; i < 2 && (tracking->Int("State") == -1) != wantTracking; ++i)
                PrintHr("click on Tracking", outlook.Click(*window, host::ToolbarButton::Tracking));
            printf("  Tracking button: \"%s\"\n", tracking->Text("Caption").c_str());
        } else {
            printf("  (no tracking control of the add-in's: the message goes out untracked)\n");
        }

        Heading("The user sends");
        bool sent = window ? outlook.Send(*window) : outlook.SendInline(explorer);
        printf("  %s\n", sent     ? "sent"
                          : window ? "NOT sent: the window stays open"
                                   : "NOT sent: the reply stays inline");
        if (sent)
            printf("  BodyFormat: %ld (2 = HTML)\n", item.Value("BodyFormat").Get()->lVal);
        std::string after = BodyBytes(item, message, s);
        PrintBody(sent ? "message as sent" : "message as it stands", after);
        if (!bodyOut.empty()) {
            std::ofstream out(bodyOut, std::ios::binary);
            out.write(after.data(), static_cast<std::streamsize>(after.size()));
            printf("  body written to %s\n", bodyOut.c_str());
        }

        Heading("What the tracking service received");
        if (service)
            PrintRequests(*service);
        else if (serviceKind == "quorvia")
            printf("  (the Quorvia service keeps its own records: its report to the sender follows)\n");
        else
            printf("  (an external service was used: see its own records)\n");

        Heading("What the user was asked, and answered");
        if (robot.Dialogs().empty())
            printf("  nothing\n");
        for (const auto &line : robot.Lines())
            printf("  %s\n", line.c_str());

        Heading("Outlook quits and lets go of the add-in");
        if (window && window->IsOpen())
            outlook.Close(*window);
        if (reply && !sent)
            outlook.DiscardInline(explorer);
        outlook.Quit(host::Outlook::Shutdown::Normal);
        addin.Reset(); // the demo's own reference; Outlook's is the last
        printf("  %-56s -> %lu\n", "Release()", (unsigned long)outlook.ReleaseAddin());
        printf("  %-56s    %zu\n", "sinks still advised on the host", outlook.AdvisedSinks());
        HMODULE module = GetModuleHandleA("QuorviaAddin.dll");
        using CanUnloadNow = HRESULT(WINAPI *)();
        auto canUnload = module ? reinterpret_cast<CanUnloadNow>(
                                      reinterpret_cast<void *>(GetProcAddress(module, "DllCanUnloadNow")))
                                : nullptr;
        if (canUnload)
            PrintHr("DllCanUnloadNow()", canUnload());
        if (!robot.Unexpected().empty())
            status = 1;
    }
    CoUninitialize();

    Heading("Unregistering the add-in");
    RunRegsvr32("/s /u \"" + dll + "\"");
    PrintRegistrationState();

    Heading("The add-in's log (C:\\windows\\Quorvia.log, this run)");
    PrintLogSince(logStart);
    return status;
}
