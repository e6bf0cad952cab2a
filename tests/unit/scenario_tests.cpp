// The shipped DLL doing the whole job in the stand-in Outlook, reached only as
// Outlook reaches it: regsvr32, then CoCreateInstance by ProgID. The stand-in
// tracking service listens at the add-in's own fixed URL. Every scenario ends
// with Outlook quitting and letting go of the add-in, after which nothing of
// the add-in may be left: no counted object, no advised sink, no window, no
// thread, no handle beyond a small tolerance, and DllCanUnloadNow says S_OK.
#include "ShippedAddinSupport.h"

#include "host/CallLog.h"
#include "host/DialogRobot.h"
#include "host/Faults.h"
#include "host/Outlook.h"
#include "host/TrackingService.h"
#include "com/Identity.h"
#include "http/HttpRetriever.h"
#include "settings/Settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace host;
using namespace test;

namespace {

using Lines = std::vector<std::string>;

const char kCaption[] = "Quorvia Outlook Add-in";
const char kAccountPrompt[] = "You need to configure your Quorvia account in order to use Quorvia Tracking "
                              "capability.\nClick \"Yes\" to configure now or \"No\" to configure later.";
const char kHtmlOnlyText[] =
    "Quorvia tracking available only for HTML messages. Choose Yes if you want to change message format to HTML "
    "manually or No if you want to send it without tracking capability.";
const char kContactText[] =
    "Unable to contact to Quorvia server. Do you want to send message without tracking capability?";
const char kAuthorizeText[] =
    "Unable to authorize on Quorvia server. Do you want to send message without tracking capability?";
const char kLogin[] = "ann@example.com";
const char kPassword[] = "s3cret pass";

// Handles the process may hold more after a scenario than before it: Wine
// keeps a few of its own once the code paths behind them have run (1 to 4
// seen here). A handle leaked per window or per send would still show.
const DWORD kHandleTolerance = 8;

enum : int
{
    kLoginField = 107,
    kPasswordField = 108,
};

std::string PromptLine(const char *text, int answer)
{
    return std::string("\"") + kCaption + "\" \"" + text + "\" MB_YESNO|MB_ICONWARNING -> " +
           (answer == IDYES ? "IDYES" : "IDNO");
}

// A window on the calling thread that runs an action for each WM_APP it gets:
// a way to have Outlook's thread do something while the add-in dispatches
// messages during an exchange.
class ThreadWindow
{
public:
    explicit ThreadWindow(std::function<void()> action) : m_action(std::move(action))
    {
        static const ATOM atom = [] {
            WNDCLASSA wc = {};
            wc.lpfnWndProc = Proc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "QuorviaScenarioTrigger";
            return RegisterClassA(&wc);
        }();
        (void)atom;
        m_hwnd = CreateWindowExA(0, "QuorviaScenarioTrigger", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleA(nullptr), this);
    }
    ~ThreadWindow() { DestroyWindow(m_hwnd); }
    ThreadWindow(const ThreadWindow &) = delete;
    ThreadWindow &operator=(const ThreadWindow &) = delete;
    HWND Hwnd() const { return m_hwnd; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
    {
        if (msg == WM_NCCREATE)
            SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams));
        auto *self = reinterpret_cast<ThreadWindow *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (msg == WM_APP && self) {
            self->m_action();
            return 0;
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }

    std::function<void()> m_action;
    HWND m_hwnd = nullptr;
};

// The shipped add-in in a fresh stand-in Outlook, with the service listening,
// a robot for the boxes (strict: a box nobody expected fails the test) and
// no settings stored.
class ScenarioTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dll.Ok()) << "regsvr32 /s failed";
        ASSERT_TRUE(SUCCEEDED(m_apartment.Result()));
        ASSERT_TRUE(DeleteRegistryTree(HKEY_CURRENT_USER, kAddinVendorKey));
        Faults::Clear();
        CallLog::Clear();
        service = std::make_unique<TrackingService>();
        ASSERT_TRUE(service->Listening());
        robot = std::make_unique<DialogRobot>();
        ASSERT_NO_FATAL_FAILURE(LoadFreshOutlook());
        WarmUpTls();
        m_before = ProcessFootprint::Take();
    }

    void TearDown() override
    {
        if (outlook && outlook->Addin()) {
            outlook->Quit();
            outlook->ReleaseAddin();
        }
        outlook.reset();
        robot.reset();
        service.reset();
        DeleteRegistryTree(HKEY_CURRENT_USER, kAddinVendorKey);
    }

    // Wine's TLS keeps what it opens for the first handshake of a process
    // (certificate stores and the like) for the rest of it: that one is made
    // before the footprint is taken, against the untrusted front, which the
    // service behind it never hears of.
    static void WarmUpTls()
    {
        HttpRetriever retriever;
        retriever.Retrieve("https://" QUORVIA_SERVICE_HOST ":8443/", 0);
    }

    void LoadFreshOutlook()
    {
        outlook = std::make_unique<Outlook>();
        ComPtr<IDTExtensibility2> addin;
        ASSERT_EQ(S_OK, CreateShippedAddin(addin));
        ASSERT_TRUE(GetModuleHandleA("QuorviaAddin.dll"));
        outlook->Load(addin.Get());
    }

    void StartWithAccount()
    {
        StoreSetting("login", kLogin);
        StoreSetting("password", kPassword);
        ASSERT_EQ(S_OK, outlook->Start());
    }

    // Nothing listens at the service's URL from now on.
    void StopService()
    {
        service.reset();
        m_before = ProcessFootprint::Take();
    }

    // A compose window of today's Outlook with tracking on by its ribbon toggle,
    // which starts as the last toggle left it; the window has no toolbar.
    OutlookWindow &OpenTracked(const OpenSpec &plan)
    {
        OutlookWindow &window = outlook->Open(plan);
        EXPECT_EQ(nullptr, window.QuorviaBar());
        EXPECT_TRUE(PressTrackingToggle(*outlook, window));
        return window;
    }

    // Outlook quits as told and gives up the add-in; then nothing of it may be left.
    void QuitAndExpectNothingLeft(Outlook::Shutdown how = Outlook::Shutdown::Normal)
    {
        // No callback failed or answered what Office cannot take.
        EXPECT_EQ(Lines{}, outlook->Ribbon().Errors());
        outlook->Quit(how);
        EXPECT_EQ(0u, outlook->ReleaseAddin());
        EXPECT_EQ(0u, outlook->AdvisedSinks());
        EXPECT_EQ(S_OK, ShippedDllCanUnloadNow());

        const Lines log = m_log.Read();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ("DllCanUnloadNow: g_cComponents=0, g_cLocks=0, g_lMyObjects=0", log.back());
        if (how == Outlook::Shutdown::Normal) {
            EXPECT_EQ("CAddin::raw_OnBeginShutdown done, g_lMyObjects = 0", LastLineWith(log, "OnBeginShutdown done"));
        } else {
            // Without Outlook's shutdown calls the last Release lets the sinks go,
            // the main windows' collection last.
            EXPECT_EQ("", LastLineWith(log, "OnBeginShutdown"));
            EXPECT_EQ("~CExplorersEventHandler, g_lMyObjects=0", LastLineWith(log, "~C"));
        }

        // The host's mail windows, its ribbon's message window and the test's own
        // trigger are no windows of the add-in.
        EXPECT_EQ(Lines{},
                  m_before.NewWindows({"QuorviaHostInspector", "QuorviaHostRibbon", "QuorviaScenarioTrigger"}));
        EXPECT_EQ(m_before.threads, m_before.ThreadsAfterSettling());
        const DWORD handles = HandlesOfThisProcess();
        EXPECT_LE(handles, m_before.handles + kHandleTolerance) << "before: " << m_before.handles;
        std::printf("[ footprint ] threads %zu -> %zu, handles %lu -> %lu\n", m_before.threads,
                    ThreadsOfThisProcess(), static_cast<unsigned long>(m_before.handles),
                    static_cast<unsigned long>(handles));

        EXPECT_EQ(Lines{}, [this] {
            Lines unexpected;
            for (const DialogRecord &d : robot->Unexpected())
                unexpected.push_back(d.Line());
            return unexpected;
        }());
        EXPECT_EQ(0u, robot->Pending());
    }

    // Declared first: registered and in an apartment before anything else, and after everything else gone.
    RegisteredDll m_dll;
    Apartment m_apartment;
    LogFileTail m_log;
    ProcessFootprint m_before;

    std::unique_ptr<TrackingService> service;
    std::unique_ptr<DialogRobot> robot;
    std::unique_ptr<Outlook> outlook;
};

// The ending of a mail the user wrote in several scripts, with an earlier
// tracking element in it and an upper-case closing tag; the fragment goes
// where the earlier element is not, right before "</BODY>".
const std::wstring kBodyHead = L"<HTML><HEAD><TITLE>R\u00E9sum\u00E9</TITLE></HEAD><BODY>"
                               L"<p>Gr\u00FC\u00DFe aus Z\u00FCrich \u2014 "
                               L"\u041F\u0440\u0438\u0432\u0435\u0442 \u2014 \u4F60\u597D \U0001F389</p>";
const std::wstring kEarlierElement = L"<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/earlier\">";
const std::wstring kBodyRest = L"<p>&lt;/body&gt; is text here</p>";
const std::wstring kBodyTail = L"</BODY></HTML>";
const char kFragment[] = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/8f3a\" width=\"1\" height=\"1\">";

} // namespace

// --- the account -----------------------------------------------------------------------

TEST_F(ScenarioTest, FirstStartWithoutAnAccountAsksOnceTakesTheDialogsAccountAndKeepsIt)
{
    robot->Expect(kCaption, IDYES);
    robot->Expect(kCaption, [](HWND dialog) {
        SetDlgItemTextA(dialog, kLoginField, "Ann@Example.com");
        SetDlgItemTextA(dialog, kPasswordField, kPassword);
        return IDOK;
    });
    // The start-up only posts the question: Outlook's loop asks it once the
    // start-up is over, however long the user takes.
    EXPECT_EQ(S_OK, outlook->Start());
    EXPECT_TRUE(robot->Dialogs().empty());
    outlook->Idle();
    ASSERT_TRUE(robot->WaitForDialogs(2, 10000));
    // A box after the dialog would have come while Idle ran; give the robot
    // time to record one anyway.
    EXPECT_FALSE(robot->WaitForDialogs(3, 500));
    const std::vector<DialogRecord> shown = robot->Dialogs();
    ASSERT_EQ(2u, shown.size());
    EXPECT_EQ(kAccountPrompt, shown[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO), shown[0].buttons);
    EXPECT_EQ(static_cast<UINT>(MB_ICONEXCLAMATION), shown[0].icon);
    EXPECT_EQ(IDYES, shown[0].answer);
    EXPECT_EQ(kCaption, shown[1].caption);
    EXPECT_EQ(static_cast<UINT>(MB_OKCANCEL), shown[1].buttons);
    EXPECT_EQ(IDOK, shown[1].answer);
    // The login field takes lower case only.
    EXPECT_EQ(kLogin, StoredSetting("login"));
    std::wstring password;
    EXPECT_TRUE(CSettings().ReadPassword(&password));
    EXPECT_EQ(kPassword, Utf8FromWide(password));
    EXPECT_EQ("(none)", StoredSetting("password")); // never in clear

    // The add-in holds the account too: a compose window shows the Tracking toggle.
    OutlookWindow &window = outlook->Open();
    ASSERT_TRUE(outlook->RibbonState(window, kTrackingToggle));
    EXPECT_TRUE(outlook->RibbonState(window, kTrackingToggle)->visible);
    EXPECT_TRUE(outlook->Close(window));
    QuitAndExpectNothingLeft();

    // The next start of Outlook finds the account and asks nothing.
    ASSERT_NO_FATAL_FAILURE(LoadFreshOutlook());
    EXPECT_EQ(S_OK, outlook->Start());
    outlook->Idle();
    EXPECT_FALSE(robot->WaitForDialogs(3, 500));
    QuitAndExpectNothingLeft();
}

// --- a tracked send ------------------------------------------------------------------------

TEST_F(ScenarioTest, ATrackedHtmlMailInSeveralScriptsGoesOutMarkedOnceBeforeTheClosingTag)
{
    service->SetAnswer(Answer::Fragment(kFragment));
    ASSERT_NO_FATAL_FAILURE(StartWithAccount());
    OpenSpec plan;
    plan.compose.to = L"Jos\u00E9 M\u00FCller <jose@example.com>";
    plan.compose.cc = L"\u041F\u0451\u0442\u0440 \u0418\u0432\u0430\u043D\u043E\u0432 <petr@example.ru>";
    plan.compose.bcc = L"\u738B\u5C0F\u660E <wang@example.cn>";
    plan.compose.subject = L"Caf\u00E9 \u2013 \u041E\u0442\u0447\u0451\u0442 \u2013 \u62A5\u544A \U0001F389\U0001F44D";
    plan.compose.html = kBodyHead + kEarlierElement + kBodyRest + kBodyTail;
    OutlookWindow &window = OpenTracked(plan);

    EXPECT_TRUE(outlook->Send(window));
    EXPECT_FALSE(window.IsOpen());

    // The service got exactly the escaped form: the account's bytes, the
    // recipients joined by "; " and the subject as UTF-16LE.
    const std::vector<ReceivedRequest> requests = service->Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/index.php/messagefeed", requests[0].target);
    EXPECT_EQ("www.quorvia.com", requests[0].Header("Host"));
    EXPECT_EQ("login=" + PercentEscaped(kLogin) + "&password=" + PercentEscaped(kPassword) + "&to=" +
                  PercentEscaped16(plan.compose.to + L"; " + plan.compose.cc + L"; " + plan.compose.bcc) +
                  "&subj=" + PercentEscaped16(plan.compose.subject) + "&raw=1",
              requests[0].body);

    // Sent with the one new element right before </BODY>, every other character intact, in HTML.
    ASSERT_TRUE(window.Item().Sent().has_value());
    ASSERT_TRUE(window.Item().Sent()->htmlBody.has_value());
    const std::wstring sent = *window.Item().Sent()->htmlBody;
    EXPECT_EQ(kBodyHead + kBodyRest + Widened(kFragment) + kBodyTail, sent);
    EXPECT_EQ(1u, Occurrences(sent, L"qvmk"));
    EXPECT_EQ(olFormatHTML, window.Item().BodyFormat());
    EXPECT_EQ(olFormatHTML, window.Message().Long(kPrMsgEditorFormat));
    EXPECT_EQ(Lines{}, robot->Lines());
    QuitAndExpectNothingLeft();
}

// --- every way a mail goes out -------------------------------------------------------------

enum class Via
{
    Window,       // a compose window, tracking on by its ribbon toggle
    Inline,       // a reply composed inline in the main window, on by the inline tab's toggle
    OtherProgram, // a mail another program made and sent, no window shows it; on by the stored default
};

struct SendCase
{
    const char *name;
    Via via;
    bool itemSendFirst; // ApplicationEvents ItemSend fires before the item's own Send
};

void PrintTo(const SendCase &c, std::ostream *os)
{
    *os << c.name;
}

class ScenarioSendTest : public ScenarioTest, public ::testing::WithParamInterface<SendCase>
{
};

// However the mail goes out and whichever event comes first, it is marked
// once after one request, and Outlook's main window stays shown throughout.
TEST_P(ScenarioSendTest, ATrackedMailGoesOutMarkedOnceAndTheMainWindowStays)
{
    const SendCase &c = GetParam();
    const std::string fragment = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/via\">";
    // Slow enough to look at the main window while the exchange waits.
    service->SetAnswer(Answer::Fragment(fragment).Delayed(300));
    if (c.via == Via::OtherProgram)
        StoreTrackingDefault(true);
    ASSERT_NO_FATAL_FAILURE(StartWithAccount());
    outlook->SetItemSendFirst(c.itemSendFirst);
    Explorer &main = outlook->MainExplorer();
    ComposeSpec plan;
    plan.to = L"bob@example.com";
    plan.subject = L"Figures";
    plan.html = L"<html><body><p>Q3</p></body></html>";
    OutlookWindow *window = nullptr;
    ComposedItem *made = nullptr;
    if (c.via == Via::Window) {
        OpenSpec open;
        open.compose = plan;
        window = &OpenTracked(open);
    } else if (c.via == Via::Inline) {
        made = outlook->ReplyInline(main, plan);
        ASSERT_TRUE(made);
        EXPECT_TRUE(PressTrackingToggle(*outlook, main));
    } else {
        made = &outlook->CreateItem(plan);
    }
    MailItem &item = window ? window->Item() : made->Item();

    bool shownWhileWaiting = false;
    ThreadWindow trigger([&] { shownWhileWaiting = !item.IsSent() && IsWindowVisible(main.Hwnd()); });
    std::thread poster([&] {
        if (service->WaitForRequests(1, 10000))
            PostMessageA(trigger.Hwnd(), WM_APP, 0, 0);
    });
    const bool sent = window ? outlook->Send(*window)
                      : c.via == Via::Inline ? outlook->SendInline(main)
                                             : outlook->SendItem(*made);
    poster.join();
    outlook->Idle();

    EXPECT_TRUE(sent);
    EXPECT_TRUE(shownWhileWaiting);
    EXPECT_TRUE(IsWindowVisible(main.Hwnd()));
    EXPECT_EQ(1u, service->Requests().size());
    ASSERT_TRUE(item.Sent().has_value());
    EXPECT_EQ(L"<html><body><p>Q3</p>" + Widened(fragment) + L"</body></html>",
              item.Sent()->htmlBody.value_or(L"(null)"));
    EXPECT_EQ(Lines{}, robot->Lines());
    QuitAndExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ScenarioSendTest,
    ::testing::Values(SendCase{"compose_window_item_send_first", Via::Window, true},
                      SendCase{"inline_reply", Via::Inline, false},
                      SendCase{"inline_reply_item_send_first", Via::Inline, true},
                      SendCase{"other_program", Via::OtherProgram, false},
                      SendCase{"other_program_item_send_first", Via::OtherProgram, true}),
    [](const ::testing::TestParamInfo<SendCase> &info) { return std::string(info.param.name); });

// --- sends that end with a question ---------------------------------------------------------

enum class Reply
{
    PlainTextMail, // the mail has no HTML body; the service is not asked
    ServiceDown,
    Empty,
    Status500,
    Status401,
};

struct PromptCase
{
    const char *name;
    Reply reply;
    const char *prompt;
    int answer;
    bool sent;
};

void PrintTo(const PromptCase &c, std::ostream *os)
{
    *os << c.name;
}

class ScenarioPromptTest : public ScenarioTest, public ::testing::WithParamInterface<PromptCase>
{
};

TEST_P(ScenarioPromptTest, TheUsersAnswerDecidesAndTheMailIsNeverHalfMarked)
{
    const PromptCase &c = GetParam();
    switch (c.reply) {
    case Reply::PlainTextMail:
    case Reply::Empty: service->SetAnswer(Answer::Empty()); break;
    case Reply::ServiceDown: StopService(); break;
    case Reply::Status500: service->SetAnswer(Answer::Error(500)); break;
    case Reply::Status401: service->SetAnswer(Answer::Error(401)); break;
    }
    ASSERT_NO_FATAL_FAILURE(StartWithAccount());
    OpenSpec plan;
    plan.compose.to = L"bob@example.com";
    plan.compose.subject = L"Figures";
    plan.compose.html = L"<html><body><p>Q3 figures attached.</p></body></html>";
    if (c.reply == Reply::PlainTextMail)
        plan.compose.bodyIn = BodyIn::PlainText;
    OutlookWindow &window = OpenTracked(plan);
    robot->Expect(kCaption, c.answer);

    EXPECT_EQ(c.sent, outlook->Send(window));
    ASSERT_TRUE(robot->WaitForDialogs(1, 5000));
    EXPECT_EQ(Lines{PromptLine(c.prompt, c.answer)}, robot->Lines());
    const size_t requests = c.reply == Reply::PlainTextMail || c.reply == Reply::ServiceDown ? 0u : 1u;
    EXPECT_EQ(requests, service ? service->Requests().size() : 0u);

    if (c.sent) {
        // Untracked and unchanged: no fragment, no error page, the format as it was.
        EXPECT_FALSE(window.IsOpen());
        ASSERT_TRUE(window.Item().Sent().has_value());
        if (c.reply == Reply::PlainTextMail) {
            EXPECT_FALSE(window.Item().Sent()->htmlBody.has_value());
            EXPECT_EQ(olFormatPlain, window.Item().BodyFormat());
        } else {
            EXPECT_EQ(plan.compose.html, window.Item().Sent()->htmlBody.value_or(L"(null)"));
            EXPECT_EQ(olFormatHTML, window.Item().BodyFormat());
        }
    } else {
        // Kept: the window open and shown again, the body as the user wrote it.
        EXPECT_TRUE(window.IsOpen());
        EXPECT_TRUE(window.Window().IsVisible());
        EXPECT_FALSE(window.Item().IsSent());
        if (c.reply == Reply::PlainTextMail)
            EXPECT_TRUE(window.Item().HtmlBodyIsNull());
        else
            EXPECT_EQ(plan.compose.html, window.Item().HtmlBody());
    }
    if (c.reply == Reply::PlainTextMail) {
        EXPECT_EQ(plan.compose.html, std::wstring(window.Item().Value("Body").Get()->bstrVal));
    }
    QuitAndExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ScenarioPromptTest,
    ::testing::Values(PromptCase{"plain_text_yes_keeps_it", Reply::PlainTextMail, kHtmlOnlyText, IDYES, false},
                      PromptCase{"plain_text_no_sends_untracked", Reply::PlainTextMail, kHtmlOnlyText, IDNO, true},
                      PromptCase{"service_down_yes_sends_untracked", Reply::ServiceDown, kContactText, IDYES, true},
                      PromptCase{"service_down_no_keeps_it", Reply::ServiceDown, kContactText, IDNO, false},
                      PromptCase{"empty_reply_yes_sends_untracked", Reply::Empty, kAuthorizeText, IDYES, true},
                      PromptCase{"empty_reply_no_keeps_it", Reply::Empty, kAuthorizeText, IDNO, false},
                      PromptCase{"status_500_yes_sends_untracked", Reply::Status500, kContactText, IDYES, true},
                      PromptCase{"status_500_no_keeps_it", Reply::Status500, kContactText, IDNO, false},
                      PromptCase{"status_401_yes_sends_untracked", Reply::Status401, kAuthorizeText, IDYES, true},
                      PromptCase{"status_401_no_keeps_it", Reply::Status401, kAuthorizeText, IDNO, false}),
    [](const ::testing::TestParamInfo<PromptCase> &info) { return std::string(info.param.name); });

// --- two windows ------------------------------------------------------------------------------

TEST_F(ScenarioTest, ASecondWindowSendsWhileTheFirstWaitsOnASlowServiceAndEachGetsItsOwnFragment)
{
    const std::string first = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/1\">";
    const std::string second = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/2\">";
    service->QueueAnswer(Answer::Fragment(first).Delayed(1000));
    service->QueueAnswer(Answer::Fragment(second));
    ASSERT_NO_FATAL_FAILURE(StartWithAccount());
    OpenSpec firstSpec, secondSpec;
    firstSpec.compose.subject = L"one";
    firstSpec.compose.html = L"<html><body>first</body></html>";
    secondSpec.compose.subject = L"two";
    secondSpec.compose.html = L"<html><body>second</body></html>";
    OutlookWindow &firstWindow = OpenTracked(firstSpec);
    OutlookWindow &secondWindow = OpenTracked(secondSpec);

    // Outlook's thread sends the second mail from a message it dispatches
    // while the first exchange waits for its answer.
    bool firstWaiting = false;
    bool secondSent = false;
    ThreadWindow trigger([&] {
        firstWaiting = service->Requests().size() == 1 && !firstWindow.Item().IsSent();
        secondSent = outlook->Send(secondWindow);
    });
    std::thread poster([&] {
        if (service->WaitForRequests(1, 10000))
            PostMessageA(trigger.Hwnd(), WM_APP, 0, 0);
    });
    const bool firstSent = outlook->Send(firstWindow);
    poster.join();

    EXPECT_TRUE(firstWaiting);
    EXPECT_TRUE(firstSent);
    EXPECT_TRUE(secondSent);
    const std::vector<ReceivedRequest> requests = service->Requests();
    ASSERT_EQ(2u, requests.size());
    TrackingForm one, two;
    ASSERT_TRUE(DecodeTrackingForm(requests[0].body, one));
    ASSERT_TRUE(DecodeTrackingForm(requests[1].body, two));
    EXPECT_EQ("one", one.subj);
    EXPECT_EQ("two", two.subj);
    ASSERT_TRUE(firstWindow.Item().Sent().has_value());
    ASSERT_TRUE(secondWindow.Item().Sent().has_value());
    EXPECT_EQ(L"<html><body>first" + Widened(first) + L"</body></html>",
              firstWindow.Item().Sent()->htmlBody.value_or(L"(null)"));
    EXPECT_EQ(L"<html><body>second" + Widened(second) + L"</body></html>",
              secondWindow.Item().Sent()->htmlBody.value_or(L"(null)"));
    EXPECT_EQ(Lines{}, robot->Lines());
    QuitAndExpectNothingLeft();
}

// --- windows Word 2003 edits ---------------------------------------------------------------------

TEST_F(ScenarioTest, WordEditorWindowsShareOneBarAndOneSwitch)
{
    PlayOutlook outlook2003(Generation::Outlook2003);
    outlook->ReleaseAddin();
    ASSERT_NO_FATAL_FAILURE(LoadFreshOutlook());
    const std::string fragment = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/w\">";
    service->SetAnswer(Answer::Fragment(fragment));
    ASSERT_NO_FATAL_FAILURE(StartWithAccount());
    OpenSpec word;
    word.editor = Editor::Word;
    OutlookWindow &first = outlook->Open(word);
    OutlookWindow &second = outlook->Open(word);

    // One bar in Word's bars, one pair of buttons on it, each heard once.
    ASSERT_EQ(1u, outlook->WordBars().Bars().size());
    ComPtr<CommandBar> bar = ComPtr<CommandBar>::Borrow(outlook->WordBars().Find("Quorvia"));
    ASSERT_TRUE(bar);
    ASSERT_EQ(2u, bar->Buttons().size());
    CommandBarButton *tracking = first.Button(ToolbarButton::Tracking);
    ASSERT_TRUE(tracking);
    EXPECT_EQ(tracking, second.Button(ToolbarButton::Tracking));
    EXPECT_EQ(first.Button(ToolbarButton::Setup), second.Button(ToolbarButton::Setup));
    for (const auto &button : bar->Buttons())
        EXPECT_EQ(1u, button->Events().SinkCount());

    // Switched on in the second window, on in the first; and back.
    EXPECT_EQ(S_OK, outlook->Click(second, ToolbarButton::Tracking));
    EXPECT_EQ("Quorvia Message Tracking On", first.Button(ToolbarButton::Tracking)->Text("Caption"));
    EXPECT_EQ(kButtonDown, first.Button(ToolbarButton::Tracking)->Int("State"));
    EXPECT_EQ(S_OK, outlook->Click(first, ToolbarButton::Tracking));
    EXPECT_EQ("Quorvia Message Tracking Off", second.Button(ToolbarButton::Tracking)->Text("Caption"));
    EXPECT_EQ(kButtonUp, second.Button(ToolbarButton::Tracking)->Int("State"));

    // The shared switch decides each window's send: on from the first, the second's mail is marked.
    EXPECT_EQ(S_OK, outlook->Click(first, ToolbarButton::Tracking));
    EXPECT_TRUE(outlook->Send(second));
    ASSERT_TRUE(second.Item().Sent().has_value());
    EXPECT_EQ(L"<html><body>Hello" + Widened(fragment) + L"</body></html>",
              second.Item().Sent()->htmlBody.value_or(L"(null)"));
    // The first keeps the pair; when it, the last one, closes, the add-in
    // stops listening to the buttons and Office takes its temporary bar.
    EXPECT_EQ(tracking, first.Button(ToolbarButton::Tracking));
    EXPECT_EQ(1u, tracking->Events().SinkCount());
    EXPECT_TRUE(outlook->Close(first));
    for (const auto &button : bar->Buttons())
        EXPECT_EQ(0u, button->Events().SinkCount());
    EXPECT_EQ(nullptr, outlook->WordBars().Find("Quorvia"));
    EXPECT_EQ(1u, service->Requests().size());
    QuitAndExpectNothingLeft();
}

// --- switched off ------------------------------------------------------------------------------

// Switched off with a compose window open, the add-in lets go of it at once;
// the library says it can be unloaded only once nothing of it is left that
// Outlook could still call: here a host that refuses to unadvise the window's
// sink keeps it until the host itself goes.
TEST_F(ScenarioTest, SwitchedOffWithAWindowOpenTheLibraryStaysWhileAnythingOfItLives)
{
    ASSERT_NO_FATAL_FAILURE(StartWithAccount());
    OutlookWindow &window = outlook->Open();
    Faults::Fail("Inspector", "Unadvise", CONNECT_E_NOCONNECTION);
    EXPECT_EQ(S_OK, outlook->SwitchOff());
    Faults::Clear();
    EXPECT_EQ(0u, window.Item().Events().SinkCount());
    EXPECT_EQ(1u, window.Window().Events().SinkCount());
    EXPECT_EQ(0u, outlook->ReleaseAddin());
    EXPECT_EQ(S_FALSE, ShippedDllCanUnloadNow());
    EXPECT_EQ("DllCanUnloadNow: g_cComponents=0, g_cLocks=0, g_lMyObjects=1", m_log.Read().back());
    outlook.reset();
    EXPECT_EQ(S_OK, ShippedDllCanUnloadNow());
}

// --- shutting down ------------------------------------------------------------------------------

namespace host {

void PrintTo(Outlook::Shutdown how, std::ostream *os)
{
    *os << (how == Outlook::Shutdown::Normal ? "Normal" : "Fast");
}

} // namespace host

class ScenarioShutdownTest : public ScenarioTest, public ::testing::WithParamInterface<Outlook::Shutdown>
{
};

TEST_P(ScenarioShutdownTest, AfterAWholeDayOfWorkQuittingLeavesNothingOfTheAddinBehind)
{
    service->SetAnswer(Answer::Fragment(kFragment));
    ASSERT_NO_FATAL_FAILURE(StartWithAccount());
    // A tracked mail sent, an untracked one sent, a Word window, a plain one
    // and an inline reply still open when Outlook quits.
    OpenSpec tracked;
    tracked.compose.to = L"bob@example.com";
    OutlookWindow &one = OpenTracked(tracked);
    EXPECT_TRUE(outlook->Send(one));
    OutlookWindow &two = outlook->Open();
    EXPECT_EQ(S_OK, outlook->ClickRibbon(two, kTrackingToggle)); // the remembered "on" goes off
    EXPECT_TRUE(outlook->Send(two));
    ASSERT_TRUE(two.Item().Sent().has_value());
    EXPECT_EQ(L"<html><body>Hello</body></html>", two.Item().Sent()->htmlBody.value_or(L"(null)"));
    OpenSpec word;
    word.editor = Editor::Word;
    outlook->Open(word);
    outlook->Open();
    ASSERT_TRUE(outlook->ReplyInline(outlook->MainExplorer()));
    EXPECT_EQ(1u, service->Requests().size());
    EXPECT_EQ(2u, outlook->OpenWindows().size());
    QuitAndExpectNothingLeft(GetParam());
    EXPECT_TRUE(outlook->OpenWindows().empty());
}

INSTANTIATE_TEST_SUITE_P(Quits, ScenarioShutdownTest, ::testing::Values(Outlook::Shutdown::Normal, Outlook::Shutdown::Fast),
                         [](const ::testing::TestParamInfo<Outlook::Shutdown> &info) {
                             return std::string(info.param == Outlook::Shutdown::Normal ? "with_shutdown_calls"
                                                                                        : "fast_without_them");
                         });
