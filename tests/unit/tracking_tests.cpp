// Sending a tracked mail through the stand-in host and the stand-in tracking
// service: the exact request the service receives, every outcome and prompt,
// the three places a body can come from, the format settings, the threads
// involved, and the Outlook thread staying responsive while it waits.
#include "addin/Addin.h"
#include "addin/AddinCF.h"
#include "addin/Globals.h"
#include "buttons/TrackingButtonHandler.h"
#include "com/ComError.h"
#include "com/Guids.h"
#include "host/CallLog.h"
#include "host/ComposeWindow.h"
#include "host/DialogRobot.h"
#include "host/Faults.h"
#include "host/TrackingService.h"
#include "settings/Settings.h"
#include "tracking/ExchangeProgress.h"
#include "tracking/MailItem.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <mapiutil.h>
#include <mapix.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace host;

namespace {

const char kCaption[] = "Quorvia Outlook Add-in";
const char kContactText[] =
    "Unable to contact to Quorvia server. Do you want to send message without tracking capability?";
const char kAuthorizeText[] =
    "Unable to authorize on Quorvia server. Do you want to send message without tracking capability?";
const char kHtmlOnlyText[] =
    "Quorvia tracking available only for HTML messages. Choose Yes if you want to change message format to HTML "
    "manually or No if you want to send it without tracking capability.";
const char kFragment[] = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/42\">";
const wchar_t kFragmentW[] = L"<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/42\">";

std::string PromptLine(const char *text, int answer)
{
    return std::string("\"") + kCaption + "\" \"" + text + "\" MB_YESNO|MB_ICONWARNING -> " +
           (answer == IDYES ? "IDYES" : "IDNO");
}

// The %XX form of bytes, and of UTF-16 text as its little-endian bytes: the
// expectations for long or computed values.
std::string Escaped(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Escaped16(const std::wstring &text)
{
    return Escaped(std::string(reinterpret_cast<const char *>(text.data()), text.size() * 2));
}

std::wstring Wide(const std::string &ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// The lines the add-in appended to its log since the mark was taken.
class LogMark
{
public:
    LogMark() : m_size(CurrentSize()) {}
    std::vector<std::string> LinesSince() const
    {
        std::string bytes = test::ReadFileBytes(test::WindowsLogPath()).value_or(std::string());
        std::vector<std::string> lines;
        for (const std::string &line : test::SplitCrLfLines(bytes.substr(std::min(m_size, bytes.size()))))
            if (!test::IsLogHeader(line))
                lines.push_back(line);
        return lines;
    }

private:
    static size_t CurrentSize()
    {
        return test::ReadFileBytes(test::WindowsLogPath()).value_or(std::string()).size();
    }
    size_t m_size;
};

// A window of the calling thread that runs a test's action for each WM_APP it receives.
class ThreadWindow
{
public:
    using Action = std::function<void(WPARAM)>;
    explicit ThreadWindow(Action action) : m_action(std::move(action))
    {
        static ATOM atom = [] {
            WNDCLASSA wc = {};
            wc.lpfnWndProc = Proc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "QuorviaTrackingTestWindow";
            return RegisterClassA(&wc);
        }();
        (void)atom;
        m_hwnd = CreateWindowExA(0, "QuorviaTrackingTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleA(nullptr), this);
    }
    ~ThreadWindow() { DestroyWindow(m_hwnd); }
    HWND Hwnd() const { return m_hwnd; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
    {
        if (msg == WM_NCCREATE)
            SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams));
        auto *self = reinterpret_cast<ThreadWindow *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (msg == WM_APP && self) {
            self->m_action(wParam);
            return 0;
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }

    Action m_action;
    HWND m_hwnd = nullptr;
};

// Every send of these tests goes to the stand-in service with the account
// "abc" / "pw" and tracking switched on, unless a test says otherwise.
class TrackedSendTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CAddinCF *factory = new CAddinCF();
        factory->AddRef();
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(m_addin.Receive())));
        factory->Release();
        ASSERT_NE(nullptr, g_pAddin);
        g_pAddin->SetAccount(L"abc", L"pw");
        ASSERT_TRUE(m_service->Listening());

        m_tracking = CTrackingSwitch::FromStoredDefault();
        m_tracking->Set(true);
        CallLog::Clear();
    }

    void TearDown() override
    {
        // The host is strict: every box was expected, every expected box came.
        EXPECT_TRUE(m_robot.Unexpected().empty());
        EXPECT_EQ(0u, m_robot.Pending());
        Faults::Clear();
        m_addin.Reset();
        RegKey key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, QUORVIA_SETTINGS_KEY, 0, KEY_SET_VALUE, key.Receive()) == ERROR_SUCCESS)
            RegDeleteValueA(key.Get(), "Tracking");
    }

    // The window's tracked mail item handles one Send; raises what OnSend raises.
    int Send(ComposeWindow &window)
    {
        CMailItem *item = new CMailItem(window.ItemDispatch(), m_tracking, g_pAddin->Account());
        int result;
        try {
            result = item->OnSend();
        } catch (...) {
            item->Release();
            throw;
        }
        item->Release();
        return result;
    }

    TrackingService &Service() { return *m_service; }
    // Nothing listens on the service's port any more.
    void StopService() { m_service.reset(); }

    // The one request the service received.
    ReceivedRequest OnlyRequest() const
    {
        std::vector<ReceivedRequest> requests = m_service->Requests();
        EXPECT_EQ(1u, requests.size());
        return requests.empty() ? ReceivedRequest() : requests[0];
    }

    std::unique_ptr<TrackingService> m_service{new TrackingService()};
    DialogRobot m_robot;
    ComPtr<IUnknown> m_addin;
    TrackingSwitchPtr m_tracking;
};

// ---------------------------------------------------------------------------
// The request: exactly the bytes of the form, in the headers and on the path
// the service expects.

struct FormCase
{
    const char *what;
    std::wstring login; // goes out as its UTF-8 bytes
    std::wstring to, cc, bcc, subject;
    StringStore strings;
    std::string expected;
};

void PrintTo(const FormCase &c, std::ostream *os)
{
    *os << c.what;
}

class RequestFormTest : public TrackedSendTest, public ::testing::WithParamInterface<FormCase>
{
};

TEST_P(RequestFormTest, ServiceReceivesExactlyTheEscapedForm)
{
    const FormCase &c = GetParam();
    g_pAddin->SetAccount(c.login.c_str(), L"pw");
    Service().SetAnswer(Answer::Fragment(kFragment));
    ComposeSpec plan;
    plan.to = c.to;
    plan.cc = c.cc;
    plan.bcc = c.bcc;
    plan.subject = c.subject;
    plan.strings = c.strings;
    ComposeWindow window(plan);

    EXPECT_EQ(0, Send(window));
    EXPECT_EQ(c.expected, OnlyRequest().body);
    EXPECT_TRUE(m_robot.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RequestFormTest,
    ::testing::Values(
        FormCase{"ascii", L"abc", L"abc", L"", L"", L"Hi", StringStore::Unicode,
                 "login=%61%62%63&password=%70%77&to=%61%00%62%00%63%00&subj=%48%00%69%00&raw=1"},
        FormCase{"latin1", L"\u00E9", L"\u00E9", L"", L"", L"\u00E9t\u00E9", StringStore::Unicode,
                 "login=%C3%A9&password=%70%77&to=%E9%00&subj=%E9%00%74%00%E9%00&raw=1"},
        FormCase{"cyrillic_and_chinese", L"\u0430\u4E2D", L"\u0410\u043D\u043D\u0430", L"", L"", L"\u4F60\u597D",
                 StringStore::Unicode,
                 "login=%D0%B0%E4%B8%AD&password=%70%77&to=%10%04%3D%04%3D%04%30%04&subj=%60%4F%7D%59&raw=1"},
        FormCase{"non_bmp", L"\U0001F600", L"\U0001F600", L"", L"", L"a\U0001F600", StringStore::Unicode,
                 "login=%F0%9F%98%80&password=%70%77&to=%3D%D8%00%DE&subj=%61%00%3D%D8%00%DE&raw=1"},
        FormCase{"only_cc", L"abc", L"", L"c", L"", L"", StringStore::Unicode,
                 "login=%61%62%63&password=%70%77&to=%3B%00%20%00%63%00&subj=&raw=1"},
        FormCase{"to_and_bcc", L"abc", L"a", L"", L"b", L"", StringStore::Unicode,
                 "login=%61%62%63&password=%70%77&to=%61%00%3B%00%20%00%62%00&subj=&raw=1"},
        FormCase{"to_cc_bcc", L"abc", L"a", L"c", L"b", L"", StringStore::Unicode,
                 "login=%61%62%63&password=%70%77&to=%61%00%3B%00%20%00%63%00%3B%00%20%00%62%00&subj=&raw=1"},
        FormCase{"nothing", L"", L"", L"", L"", L"", StringStore::Unicode, "login=&password=%70%77&to=&subj=&raw=1"},
        FormCase{"store_refusing_unicode", L"abc", L"\u00E9", L"", L"", L"x", StringStore::RejectsUnicode,
                 "login=%61%62%63&password=%70%77&to=%E9%00&subj=%78%00&raw=1"},
        FormCase{"eight_bit_store", L"abc", L"\u00E9", L"", L"", L"x", StringStore::EightBitOnly,
                 "login=%61%62%63&password=%70%77&to=%E9%00&subj=%78%00&raw=1"}),
    [](const ::testing::TestParamInfo<FormCase> &info) { return std::string(info.param.what); });

// The string reads the request makes, for each kind of store: the Unicode
// tags, and the 8-bit ones only where a store has no Unicode form.
TEST_F(TrackedSendTest, StringPropertiesAreReadByTheirUnicodeTagsWithAnEightBitFallback)
{
    auto reads = [](std::initializer_list<const char *> first, const char *fallback) {
        std::vector<std::string> lines;
        for (const char *name : {"PR_DISPLAY_TO", "PR_DISPLAY_CC", "PR_DISPLAY_BCC", "PR_NORMALIZED_SUBJECT"}) {
            for (const char *answer : first)
                lines.push_back("Message.GetProps(" + std::string(name) + "_W, MAPI_UNICODE) -> " + answer);
            if (fallback)
                lines.push_back("Message.GetProps(" + std::string(name) + ", 0) -> " + fallback);
        }
        return lines;
    };
    struct Case
    {
        Generation outlook;
        StringStore strings;
        std::vector<std::string> reads;
    };
    const Case cases[] = {
        {Generation::Outlook2016, StringStore::Unicode, reads({"S_OK"}, nullptr)},
        {Generation::Outlook2016, StringStore::EightBitOnly, reads({"MAPI_W_ERRORS_RETURNED"}, "S_OK")},
        {Generation::Outlook2016, StringStore::RejectsUnicode, reads({"MAPI_E_BAD_CHARWIDTH"}, "S_OK")},
        {Generation::Outlook2003, StringStore::EightBitOnly, reads({"S_OK"}, nullptr)},
    };
    Service().SetAnswer(Answer::Fragment(kFragment));
    for (const Case &c : cases) {
        ComposeSpec plan;
        plan.to = L"t";
        plan.strings = c.strings;
        plan.outlook = c.outlook;
        ComposeWindow window(plan);
        CallLog::Clear();
        EXPECT_EQ(0, Send(window));
        std::vector<std::string> reads;
        for (const std::string &line : CallLog::Lines(CallFilter::Of("Message")))
            if (line.find("PR_DISPLAY") != std::string::npos || line.find("SUBJECT") != std::string::npos)
                reads.push_back(line);
        EXPECT_EQ(c.reads, reads) << static_cast<int>(c.strings);
    }
}

// A missing property reads as empty; a property of more than 10 000 UTF-16
// units from an 8-bit store goes out whole.
TEST_F(TrackedSendTest, MissingStringsAreEmptyAndLongEightBitStringsGoOutWhole)
{
    Service().SetAnswer(Answer::Fragment(kFragment));
    ComposeSpec plan;
    plan.strings = StringStore::EightBitOnly;
    ComposeWindow window(plan);
    std::string longTo(12345, 'x');
    longTo[0] = '\xE9';
    window.Message().SetString8(kPrDisplayTo, longTo);
    window.Message().Remove(kPrDisplayCc);
    window.Message().Remove(kPrNormalizedSubject);

    EXPECT_EQ(0, Send(window));
    std::wstring expectedTo = L"\u00E9" + std::wstring(12344, L'x');
    EXPECT_EQ("login=%61%62%63&password=%70%77&to=" + Escaped16(expectedTo) + "&subj=&raw=1", OnlyRequest().body);
}

TEST_F(TrackedSendTest, RequestIsAFormPostToTheMessageFeedOfTheServiceHost)
{
    Service().SetAnswer(Answer::Fragment(kFragment));
    ComposeWindow window;
    EXPECT_EQ(0, Send(window));

    ReceivedRequest request = OnlyRequest();
    EXPECT_TRUE(request.complete);
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/index.php/messagefeed", request.target);
    EXPECT_EQ("www.quorvia.com", request.Header("Host"));
    EXPECT_EQ(1u, request.HeaderCount("Content-Type"));
    EXPECT_EQ("application/x-www-form-urlencoded", request.Header("Content-Type"));
    EXPECT_EQ("Brenn Software HTTP Retriever 1.0", request.Header("User-Agent"));
    EXPECT_EQ(std::to_string(request.body.size()), request.Header("Content-Length"));
    TrackingForm form;
    ASSERT_TRUE(DecodeTrackingForm(request.body, form));
    EXPECT_EQ("abc", form.login);
    EXPECT_EQ("pw", form.password);
    EXPECT_EQ("1", form.raw);
}

// ---------------------------------------------------------------------------
// Outcomes: a fragment marks the mail and leaves its window hidden; without
// one the user decides, and the window comes back.

struct OutcomeCase
{
    const char *what;
    std::function<Answer()> answer; // nothing: the service is down
    const char *prompt;             // null: no prompt
    int userAnswer;
    int onSend;
};

void PrintTo(const OutcomeCase &c, std::ostream *os)
{
    *os << c.what;
}

class OutcomeTest : public TrackedSendTest, public ::testing::WithParamInterface<OutcomeCase>
{
};

TEST_P(OutcomeTest, EachReplyLeadsToItsPromptAndTheWindowFollows)
{
    const OutcomeCase &c = GetParam();
    if (c.answer)
        Service().SetAnswer(c.answer().Delayed(200));
    else
        StopService();
    ComposeWindow window;
    const HWND hwnd = window.Window().Hwnd();
    ASSERT_TRUE(IsWindowVisible(hwnd));
    const std::wstring before = window.Item().HtmlBody();

    // The window is looked at while the request is with the service, and
    // when the question is up: it comes once the exchange is over, with the
    // window back.
    std::atomic<int> visibleDuringExchange{-1}, visibleAtPrompt{-1};
    if (c.prompt)
        m_robot.Expect(kCaption, [&](HWND) {
            visibleAtPrompt = IsWindowVisible(hwnd) ? 1 : 0;
            return c.userAnswer;
        });
    std::thread watcher([&] {
        if (c.answer && m_service->WaitForRequests(1, 10000))
            visibleDuringExchange = IsWindowVisible(hwnd) ? 1 : 0;
    });
    int result = Send(window);
    watcher.join();

    EXPECT_EQ(c.onSend, result);
    EXPECT_EQ(c.answer ? 0 : -1, visibleDuringExchange);
    EXPECT_EQ(c.prompt ? 1 : -1, visibleAtPrompt);
    // The robot records a box just after pressing its button.
    if (c.prompt) {
        EXPECT_TRUE(m_robot.WaitForDialogs(1, 5000));
    }
    std::vector<std::string> dialogs;
    if (c.prompt)
        dialogs.push_back(PromptLine(c.prompt, c.userAnswer));
    EXPECT_EQ(dialogs, m_robot.Lines());
    // Asked on Outlook's thread, owned by the mail window: it cannot hide behind Outlook.
    for (const DialogRecord &dialog : m_robot.Dialogs()) {
        EXPECT_EQ(hwnd, dialog.owner);
        EXPECT_EQ(GetCurrentThreadId(), dialog.threadId);
    }
    if (c.prompt) {
        EXPECT_TRUE(IsWindowVisible(hwnd));
        EXPECT_EQ(before, window.Item().HtmlBody());
        EXPECT_FALSE(window.Message().Has(kPrMsgEditorFormat));
    } else {
        EXPECT_FALSE(IsWindowVisible(hwnd));
        EXPECT_NE(before, window.Item().HtmlBody());
    }
    std::vector<std::string> windowCalls = {"Inspector.QueryInterface(IOleWindow) -> S_OK",
                                            "Inspector.GetWindow() -> S_OK"};
    EXPECT_EQ(windowCalls, CallLog::Lines(CallFilter::Of("Inspector")));

    // The exchange's own outcome: -1 with the reply as the fragment, else the
    // user's answer, 1 for sending untracked and 0 for not sending.
    if (c.prompt)
        m_robot.Expect(kCaption, c.userAnswer);
    ComposeWindow other;
    CMailItem *item = new CMailItem(other.ItemDispatch(), m_tracking, g_pAddin->Account());
    std::wstring fragment;
    int outcome = item->ExchangeInBackground(&fragment);
    item->Release();
    EXPECT_EQ(!c.prompt ? -1 : c.userAnswer == IDYES ? 1 : 0, outcome);
    EXPECT_EQ(c.prompt ? std::wstring() : Wide(c.answer().body), fragment);
    EXPECT_EQ(!c.prompt, !other.Window().IsVisible());
    if (c.prompt) {
        EXPECT_TRUE(m_robot.WaitForDialogs(2, 5000));
    }
    EXPECT_EQ(c.prompt ? 2u : 0u, m_robot.Lines().size());
    EXPECT_TRUE(m_robot.Unexpected().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, OutcomeTest,
    ::testing::Values(
        OutcomeCase{"fragment", [] { return Answer::Fragment(kFragment); }, nullptr, 0, 0},
        // Only a real fragment goes into the mail; anything else is no reply.
        OutcomeCase{"one_character", [] { return Answer::Fragment("x"); }, kContactText, IDYES, 0},
        OutcomeCase{"a_whole_page", [] { return Answer::Fragment("<html><body><img alt=qvmk></body></html>"); },
                    kContactText, IDYES, 0},
        OutcomeCase{"a_script", [] { return Answer::Fragment("<a alt=qvmk><script>x()</script></a>"); }, kContactText,
                    IDNO, 1},
        OutcomeCase{"gzip", [] { return Answer::Fragment(kFragment).WithHeader("Content-Encoding: gzip"); },
                    kContactText, IDYES, 0},
        OutcomeCase{"redirect", [] { return Answer::Redirect("http://127.0.0.1:9/t"); },
                    kContactText, IDNO, 1},
        OutcomeCase{"cut_short", [] { return Answer::Fragment("<img alt=\"qvmk\" src=\"x").Declaring(100); },
                    kContactText, IDYES, 0},
        OutcomeCase{"too_large", [] { return Answer::Large(1 << 20); }, kContactText, IDNO, 1},
        OutcomeCase{"empty_yes", [] { return Answer::Empty(); }, kAuthorizeText, IDYES, 0},
        OutcomeCase{"empty_no", [] { return Answer::Empty(); }, kAuthorizeText, IDNO, 1},
        OutcomeCase{"status_401_yes", [] { return Answer::Error(401); }, kAuthorizeText, IDYES, 0},
        OutcomeCase{"status_403_no", [] { return Answer::Error(403); }, kAuthorizeText, IDNO, 1},
        OutcomeCase{"status_500_yes", [] { return Answer::Error(500); }, kContactText, IDYES, 0},
        OutcomeCase{"status_404_no", [] { return Answer::Error(404); }, kContactText, IDNO, 1},
        OutcomeCase{"dropped_yes", [] { return Answer::Dropped(); }, kContactText, IDYES, 0},
        OutcomeCase{"dropped_no", [] { return Answer::Dropped(); }, kContactText, IDNO, 1},
        OutcomeCase{"service_down_yes", nullptr, kContactText, IDYES, 0},
        OutcomeCase{"service_down_no", nullptr, kContactText, IDNO, 1}),
    [](const ::testing::TestParamInfo<OutcomeCase> &info) { return std::string(info.param.what); });

// An inspector without IOleWindow is minimized instead, and restored to a
// normal window when no fragment came back.
TEST_F(TrackedSendTest, AWindowlessInspectorIsMinimizedAndRestoredThroughWindowState)
{
    struct Case
    {
        Answer answer;
        int onSend;
        std::vector<std::string> calls;
        LONG stateAfter;
    };
    const Case cases[] = {
        {Answer::Fragment(kFragment),
         0,
         {"Inspector.QueryInterface(IOleWindow) -> E_NOINTERFACE", "Inspector.WindowState = VT_I4 1 -> S_OK"},
         olMinimized},
        {Answer::Empty(),
         0,
         {"Inspector.QueryInterface(IOleWindow) -> E_NOINTERFACE", "Inspector.WindowState = VT_I4 1 -> S_OK",
          "Inspector.WindowState = VT_I4 2 -> S_OK"},
         olNormalWindow},
    };
    for (const Case &c : cases) {
        Service().SetAnswer(c.answer);
        if (c.answer.body.empty())
            m_robot.Expect(kCaption, IDYES);
        ComposeSpec plan;
        plan.window = Inspector::Window::None;
        ComposeWindow window(plan);
        CallLog::Clear();
        EXPECT_EQ(c.onSend, Send(window));
        EXPECT_EQ(c.calls, CallLog::Lines(CallFilter::Of("Inspector")));
        EXPECT_EQ(c.stateAfter, window.Window().WindowState());
    }
    EXPECT_TRUE(m_robot.WaitForDialogs(1, 5000));
    EXPECT_TRUE(m_robot.Unexpected().empty());
    EXPECT_EQ(0u, m_robot.Pending());
}

// A service that never answers, or trickles, ends in the contact question at
// the exchange's deadline, with the window back and the mail as it was.
TEST_F(TrackedSendTest, AServiceThatNeverAnswersEndsInTheContactQuestionAtTheDeadline)
{
    struct ShortDeadline
    {
        ShortDeadline() { g_dwExchangeDeadlineMs = 1000; }
        ~ShortDeadline() { g_dwExchangeDeadlineMs = kExchangeDeadlineMs; }
    } deadline;
    for (const Answer &answer : {Answer::Fragment(kFragment).Delayed(INFINITE), Answer::Large(4000).Trickling(50)}) {
        Service().QueueAnswer(answer);
        m_robot.Expect(kCaption, IDNO);
        ComposeWindow window;
        LogMark log;
        const ULONGLONG started = GetTickCount64();
        EXPECT_EQ(1, Send(window));
        EXPECT_LT(GetTickCount64() - started, 1400u);
        EXPECT_TRUE(window.Window().IsVisible());
        EXPECT_EQ(L"<html><body>Hello</body></html>", window.Item().HtmlBody());
        const std::vector<std::string> lines = log.LinesSince();
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Tracking exchange: no answer within 1000 ms"));
    }
    EXPECT_TRUE(m_robot.WaitForDialogs(2, 5000));
    for (const std::string &line : m_robot.Lines())
        EXPECT_EQ(PromptLine(kContactText, IDNO), line);
}

// A slow exchange shows, after a moment, a window that names the message and
// lets the user stop waiting: send without tracking, or keep the mail.
TEST_F(TrackedSendTest, AfterAMomentTheUserSeesTheMessageBeingPreparedAndMayStopWaiting)
{
    for (int button : {ExchangeProgress::kSendWithoutTracking, ExchangeProgress::kCancel}) {
        SCOPED_TRACE(button);
        Service().QueueAnswer(Answer::Fragment(kFragment).Delayed(5000));
        ComposeSpec plan;
        plan.subject = L"Quarterly \u4E2D";
        ComposeWindow window(plan);
        std::wstring shownSubject;
        m_robot.Expect(kCaption, [&](HWND dialog) {
            wchar_t text[64] = {};
            GetDlgItemTextW(dialog, ExchangeProgress::kSubject, text, 64);
            shownSubject = text;
            return button;
        });
        const ULONGLONG started = GetTickCount64();
        EXPECT_EQ(button == ExchangeProgress::kCancel ? 1 : 0, Send(window));
        const ULONGLONG took = GetTickCount64() - started;
        EXPECT_GE(took, 1400u);
        EXPECT_LT(took, 4000u);
        EXPECT_EQ(L"Quarterly \u4E2D", shownSubject);
        EXPECT_TRUE(window.Window().IsVisible());
        EXPECT_EQ(L"<html><body>Hello</body></html>", window.Item().HtmlBody());
        // The window went with the wait.
        EXPECT_EQ(nullptr, FindWindowA("#32770", kCaption));
        Service().SetAnswer(Answer::Fragment(kFragment)); // the next exchange's, while this one's still waits
    }
}

// ---------------------------------------------------------------------------
// Threads: only the Outlook thread touches the message and the account.

bool OnlyThisThread(const std::vector<CallRecord> &records, DWORD thread)
{
    for (const CallRecord &record : records)
        if (record.threadId != thread)
            return false;
    return true;
}

std::vector<CallRecord> MessageRecords()
{
    std::vector<CallRecord> records;
    for (const CallRecord &record : CallLog::Records(CallFilter::Everything()))
        if (record.object == "Message" || record.object.compare(0, 7, "Stream(") == 0)
            records.push_back(record);
    return records;
}

TEST_F(TrackedSendTest, TheWorkerNeverTouchesTheMessage)
{
    const BodyIn sources[] = {BodyIn::HtmlBody, BodyIn::PrHtml, BodyIn::PrBodyHtml};
    for (BodyIn source : sources) {
        Service().SetAnswer(Answer::Fragment(kFragment).Delayed(100));
        ComposeSpec plan;
        plan.to = L"someone";
        plan.subject = L"subject";
        plan.bodyIn = source;
        plan.strings = StringStore::RejectsUnicode;
        ComposeWindow window(plan);
        CallLog::Clear();
        EXPECT_EQ(0, Send(window));
        std::vector<CallRecord> records = MessageRecords();
        EXPECT_FALSE(records.empty());
        EXPECT_TRUE(OnlyThisThread(records, GetCurrentThreadId())) << static_cast<int>(source);
        EXPECT_EQ(std::set<DWORD>{GetCurrentThreadId()}, window.Message().CallerThreads());
    }
}

// The account is read on the Outlook thread as the exchange starts: a change
// made while the window is being hidden, or by a message dispatched while the
// request is under way, does not reach that request, only the next one.
TEST_F(TrackedSendTest, TheRequestCarriesTheAccountAsTheExchangeBegan)
{
    Service().SetAnswer(Answer::Fragment(kFragment).Delayed(200));
    ComposeWindow window;
    static bool s_changeOnHide;
    s_changeOnHide = true;
    struct Hook
    {
        static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
        {
            if (msg == WM_SHOWWINDOW && !wParam && s_changeOnHide)
                g_pAddin->SetAccount(L"hid", L"x");
            return DefWindowProcA(hwnd, msg, wParam, lParam);
        }
    };
    SetWindowLongPtrA(window.Window().Hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Hook::Proc));
    ThreadWindow changer([](WPARAM) { g_pAddin->SetAccount(L"posted", L"y"); });
    PostMessageA(changer.Hwnd(), WM_APP, 0, 0);

    EXPECT_EQ(0, Send(window));
    EXPECT_EQ(L"posted", g_pAddin->Login());
    s_changeOnHide = false;
    window.Item().SetHtmlBody(L"<body></body>");
    EXPECT_EQ(0, Send(window));

    std::vector<ReceivedRequest> requests = Service().Requests();
    ASSERT_EQ(2u, requests.size());
    TrackingForm first, second;
    ASSERT_TRUE(DecodeTrackingForm(requests[0].body, first));
    ASSERT_TRUE(DecodeTrackingForm(requests[1].body, second));
    EXPECT_EQ("abc", first.login);
    EXPECT_EQ("pw", first.password);
    EXPECT_EQ("posted", second.login);
    EXPECT_EQ("y", second.password);
}

// ---------------------------------------------------------------------------
// The body: taken from HTMLBody, PR_HTML or PR_BODY_HTML, earlier tracking
// elements removed, the fragment before the first closing body tag.

struct BodyCase
{
    const char *what;
    const char *before;
    const char *after;
};

#define F "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/42\">"
const BodyCase kBodies[] = {
    {"quoted_marker", "<html><body>Hi<img alt=\"qvmk\" src=\"old\"></body></html>", "<html><body>Hi" F "</body></html>"},
    {"unquoted_marker", "<html><body>Hi<img src=old alt=qvmk></body></html>", "<html><body>Hi" F "</body></html>"},
    {"upper_case_marker", "<html><body>Hi<IMG SRC=old ALT=\"QVMK\"></body></html>", "<html><body>Hi" F "</body></html>"},
    {"element_with_closing_tag", "<body>a<a href=x alt=qvmk>t<b>x</b></a>b</body>", "<body>ab" F "</body>"},
    {"two_closing_body_tags", "<body>a</body>b</body>", "<body>a" F "</body>b</body>"},
    {"upper_case_closing_tag", "<HTML><BODY>Hi</BODY></HTML>", "<HTML><BODY>Hi" F "</BODY></HTML>"},
};
#undef F

const char *SourceName(BodyIn source)
{
    switch (source) {
    case BodyIn::HtmlBody: return "HTMLBody";
    case BodyIn::PrHtml: return "PR_HTML";
    case BodyIn::PrBodyHtml: return "PR_BODY_HTML";
    case BodyIn::PlainText: return "PlainText";
    case BodyIn::RichText: return "RichText";
    }
    return "?";
}

// Bodies kept only in a MAPI stream are Outlook 2003's: today's Outlook gives
// them through HTMLBody.
ComposeSpec SpecWithBody(BodyIn source, const std::string &body)
{
    ComposeSpec plan;
    plan.bodyIn = source;
    if (source == BodyIn::PrHtml || source == BodyIn::PrBodyHtml)
        plan.outlook = Generation::Outlook2003;
    plan.html = Wide(body);
    plan.stream = body;
    return plan;
}

// The body where it was taken from, and nothing anywhere else.
void ExpectBody(const ComposeWindow &window, BodyIn source, const std::string &body)
{
    MailItem &item = window.Item();
    MapiMessage &message = window.Message();
    EXPECT_EQ(source != BodyIn::HtmlBody, item.HtmlBodyIsNull());
    EXPECT_EQ(source == BodyIn::PrHtml, message.Has(kPrHtml));
    EXPECT_EQ(source == BodyIn::PrBodyHtml, message.Has(kPrBodyHtml));
    if (source == BodyIn::HtmlBody)
        EXPECT_EQ(Wide(body), item.HtmlBody());
    else
        EXPECT_EQ(body, message.Bytes(source == BodyIn::PrHtml ? kPrHtml : kPrBodyHtml));
}

} // namespace

namespace host {
void PrintTo(BodyIn source, std::ostream *os);
}

namespace {

class BodySourceTest : public TrackedSendTest,
                       public ::testing::WithParamInterface<std::tuple<BodyIn, BodyCase>>
{
};

TEST_P(BodySourceTest, EarlierElementsGoAndTheFragmentStandsBeforeTheFirstClosingTag)
{
    BodyIn source = std::get<0>(GetParam());
    const BodyCase &c = std::get<1>(GetParam());
    Service().SetAnswer(Answer::Fragment(kFragment));
    ComposeWindow window(SpecWithBody(source, c.before));

    EXPECT_EQ(0, Send(window));
    ExpectBody(window, source, c.after);
    EXPECT_EQ(1u, window.Item().SaveCount());
    EXPECT_EQ(1u, Service().Requests().size());
}

INSTANTIATE_TEST_SUITE_P(Bodies, BodySourceTest,
                         ::testing::Combine(::testing::Values(BodyIn::HtmlBody, BodyIn::PrHtml, BodyIn::PrBodyHtml),
                                            ::testing::ValuesIn(kBodies)),
                         [](const ::testing::TestParamInfo<std::tuple<BodyIn, BodyCase>> &info) {
                             std::string name = SourceName(std::get<0>(info.param));
                             for (char &ch : name)
                                 if (ch == '_')
                                     ch = 'x';
                             return name + "_" + std::get<1>(info.param).what;
                         });

// The calls of a marking, source by source, in order.
TEST_F(TrackedSendTest, EachSourceIsReadMarkedAndWrittenBackInThisOrder)
{
    const std::string body = "<html><body>Hello</body></html>";
    const std::string marked = "<html><body>Hello" + std::string(kFragment) + "</body></html>";
    const std::string size = std::to_string(body.size());
    const std::string markedSize = std::to_string(marked.size());
    const std::vector<std::string> request = {
        "MailItem.GetInspector -> S_OK",
        "Message.GetProps(PR_DISPLAY_TO_W, MAPI_UNICODE) -> S_OK",
        "Message.GetProps(PR_DISPLAY_CC_W, MAPI_UNICODE) -> S_OK",
        "Message.GetProps(PR_DISPLAY_BCC_W, MAPI_UNICODE) -> S_OK",
        "Message.GetProps(PR_NORMALIZED_SUBJECT_W, MAPI_UNICODE) -> S_OK",
        "Inspector.QueryInterface(IOleWindow) -> S_OK",
        "Inspector.GetWindow() -> S_OK",
    };
    const std::vector<std::string> format = {
        "Message.GetProps(PR_MSG_EDITOR_FORMAT, 0) -> MAPI_W_ERRORS_RETURNED",
        "Message.SetProps(PR_INETMAIL_OVERRIDE_FORMAT=1441792) -> S_OK",
        "Message.SetProps(PR_MSG_EDITOR_FORMAT=2) -> S_OK",
        "MailItem.QueryInterface(IDispatch) -> S_OK",
        "MailItem.BodyFormat -> S_OK",
    };
    const std::vector<std::string> construction = {"MailItem.MAPIOBJECT -> S_OK",
                                                   "Message.QueryInterface(IMessage) -> S_OK",
                                                   "MailItem.BodyFormat -> S_OK"};
    auto streamCalls = [&](const std::string &tag, bool htmlMissing) {
        std::vector<std::string> calls = construction;
        calls.insert(calls.end(), {"MailItem.Save() -> S_OK", "MailItem.HTMLBody -> S_OK"});
        if (htmlMissing)
            calls.push_back("Message.OpenProperty(PR_HTML, IID_IStream, 0, 0) -> MAPI_E_NOT_FOUND");
        calls.push_back("Message.OpenProperty(" + tag + ", IID_IStream, 0, 0) -> S_OK");
        calls.push_back("Stream(" + tag + ").Stat(STATFLAG_NONAME) -> S_OK");
        calls.push_back("Stream(" + tag + ").Read(" + size + ") -> S_OK");
        calls.push_back("Message.OpenProperty(" + tag + ", IID_IStream, STGM_WRITE, 1) -> S_OK"); // MAPI_MODIFY
        calls.insert(calls.end(), request.begin(), request.end());
        calls.push_back("Stream(" + tag + ").Write(" + markedSize + ") -> S_OK");
        calls.push_back("Stream(" + tag + ").SetSize(" + markedSize + ") -> S_OK");
        calls.push_back("Stream(" + tag + ").Commit(STGC_OVERWRITE) -> S_OK");
        calls.insert(calls.end(), format.begin(), format.end());
        return calls;
    };
    std::vector<std::string> htmlBodyCalls = construction;
    htmlBodyCalls.insert(htmlBodyCalls.end(),
                         {"MailItem.Save() -> S_OK", "MailItem.HTMLBody -> S_OK", "MailItem.HTMLBody -> S_OK"});
    htmlBodyCalls.insert(htmlBodyCalls.end(), request.begin(), request.end());
    htmlBodyCalls.push_back("MailItem.HTMLBody = VT_BSTR \"" + marked.substr(0, 17) + "<img alt=\\\"qvmk\\\" "
                            "src=\\\"http://www.quorvia.com/t/42\\\"></body></html>\" -> S_OK");
    htmlBodyCalls.insert(htmlBodyCalls.end(), format.begin(), format.end());

    struct Case
    {
        BodyIn source;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {BodyIn::HtmlBody, htmlBodyCalls},
        {BodyIn::PrHtml, streamCalls("PR_HTML", false)},
        {BodyIn::PrBodyHtml, streamCalls("PR_BODY_HTML", true)},
    };
    Service().SetAnswer(Answer::Fragment(kFragment));
    for (const Case &c : cases) {
        ComposeWindow window(SpecWithBody(c.source, body));
        CallLog::Clear();
        EXPECT_EQ(0, Send(window));
        EXPECT_EQ(c.calls, CallLog::Lines()) << SourceName(c.source);
        ExpectBody(window, c.source, marked);
    }
}

// An empty HTMLBody is a body (only a null one sends the search on to the
// streams); text beyond the ANSI code page survives the HTMLBody path, and
// stream bodies come back byte for byte.
TEST_F(TrackedSendTest, BodiesComeBackExactly)
{
    Service().SetAnswer(Answer::Fragment(kFragment));
    {
        ComposeSpec plan = SpecWithBody(BodyIn::HtmlBody, "");
        ComposeWindow window(plan);
        window.Message().SetBinary(kPrHtml, "<body>stream</body>");
        EXPECT_EQ(0, Send(window));
        EXPECT_EQ(std::wstring(kFragmentW), window.Item().HtmlBody());
        EXPECT_EQ("<body>stream</body>", window.Message().Bytes(kPrHtml));
    }
    {
        ComposeSpec plan;
        plan.html = L"<html><body>\u20AC \u4E2D\u6587 \U0001F600</body></html>";
        ComposeWindow window(plan);
        EXPECT_EQ(0, Send(window));
        EXPECT_EQ(L"<html><body>\u20AC \u4E2D\u6587 \U0001F600" + std::wstring(kFragmentW) + L"</body></html>",
                  window.Item().HtmlBody());
    }
    std::string bytes = "<html><body>";
    for (int b = 1; b < 256; ++b)
        if (b != '<' && b != '>')
            bytes += static_cast<char>(b);
    for (BodyIn source : {BodyIn::PrHtml, BodyIn::PrBodyHtml}) {
        ComposeWindow window(SpecWithBody(source, bytes + "</body></html>"));
        EXPECT_EQ(0, Send(window));
        ExpectBody(window, source, bytes + kFragment + "</body></html>");
    }
}

// Writing back copes with a stream that takes a few bytes per Write, and with
// one that starts from the old content: the property ends up exactly the
// marked text, even when that is shorter than before.
TEST_F(TrackedSendTest, StreamWritesLeaveExactlyTheMarkedText)
{
    Service().SetAnswer(Answer::Fragment(kFragment));
    const std::string longOld = "<body>x<img alt=\"qvmk\" src=\"http://www.quorvia.com/a/very/long/old/tracking/"
                                "address/that/is/longer/than/the/new/one\"></body>";
    const std::string marked = "<body>x" + std::string(kFragment) + "</body>";
    for (BodyIn source : {BodyIn::PrHtml, BodyIn::PrBodyHtml}) {
        ComposeWindow chunked(SpecWithBody(source, "<body>chunked</body>"));
        chunked.Message().SetWriteChunk(7);
        EXPECT_EQ(0, Send(chunked));
        ExpectBody(chunked, source, "<body>chunked" + std::string(kFragment) + "</body>");

        ComposeWindow overwritten(SpecWithBody(source, longOld));
        overwritten.Message().SetWriteKeepsOldContent(true);
        EXPECT_EQ(0, Send(overwritten));
        ExpectBody(overwritten, source, marked);
    }
}

// ---------------------------------------------------------------------------
// No usable HTML body: the user chooses, and the service is not asked.

struct NoBodyCase
{
    const char *what;
    BodyIn source;
    bool shortRead; // else: readable but not writable
    int userAnswer;
    int onSend;
};

void PrintTo(const BodyCase &c, std::ostream *os)
{
    *os << c.what;
}

void PrintTo(const NoBodyCase &c, std::ostream *os)
{
    *os << c.what;
}

class NoUsableBodyTest : public TrackedSendTest, public ::testing::WithParamInterface<NoBodyCase>
{
};

TEST_P(NoUsableBodyTest, TheUserChoosesAndTheMessageStaysAsItWas)
{
    const NoBodyCase &c = GetParam();
    const std::string body = "<html><body>Hello</body></html>";
    ComposeWindow window(SpecWithBody(c.source, body));
    if (c.source != BodyIn::PlainText) {
        ULONG tag = c.source == BodyIn::PrHtml ? kPrHtml : kPrBodyHtml;
        if (c.shortRead)
            window.Message().SetShortRead(tag, 10);
        else
            window.Message().SetReadOnly(tag);
    }
    m_robot.Expect(kCaption, c.userAnswer);
    CallLog::Clear();

    EXPECT_EQ(c.onSend, Send(window));
    EXPECT_TRUE(m_robot.WaitForDialogs(1, 5000));
    EXPECT_EQ(std::vector<std::string>{PromptLine(kHtmlOnlyText, c.userAnswer)}, m_robot.Lines());
    EXPECT_TRUE(Service().Requests().empty());
    if (c.source != BodyIn::PlainText)
        ExpectBody(window, c.source, body);
    EXPECT_TRUE(window.Window().IsVisible());
    EXPECT_EQ(window.Window().Hwnd(), m_robot.Dialogs()[0].owner);
    for (const std::string &line : CallLog::Lines()) {
        EXPECT_EQ(std::string::npos, line.find("Write")) << line;
        EXPECT_EQ(std::string::npos, line.find("Commit")) << line;
        EXPECT_EQ(std::string::npos, line.find("SetProps")) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, NoUsableBodyTest,
    ::testing::Values(NoBodyCase{"plain_text_yes_cancels", BodyIn::PlainText, false, IDYES, 1},
                      NoBodyCase{"plain_text_no_sends", BodyIn::PlainText, false, IDNO, 0},
                      NoBodyCase{"short_PR_HTML_yes", BodyIn::PrHtml, true, IDYES, 1},
                      NoBodyCase{"short_PR_BODY_HTML_no", BodyIn::PrBodyHtml, true, IDNO, 0},
                      NoBodyCase{"read_only_PR_HTML_no", BodyIn::PrHtml, false, IDNO, 0},
                      NoBodyCase{"read_only_PR_BODY_HTML_yes", BodyIn::PrBodyHtml, false, IDYES, 1}),
    [](const ::testing::TestParamInfo<NoBodyCase> &info) { return std::string(info.param.what); });

// Today's Outlook renders a plain-text or RTF body as HTML when asked for
// HTMLBody; the format is asked first, so such a message is never converted.
TEST_F(TrackedSendTest, APlainTextOrRtfMailIsAskedAboutBeforeAnythingIsTouched)
{
    const std::vector<std::string> calls = {"MailItem.MAPIOBJECT -> S_OK", "Message.QueryInterface(IMessage) -> S_OK",
                                            "MailItem.BodyFormat -> S_OK", "MailItem.GetInspector -> S_OK",
                                            "Inspector.QueryInterface(IOleWindow) -> S_OK",
                                            "Inspector.GetWindow() -> S_OK"};
    for (Generation outlook : {Generation::Outlook2016, Generation::Outlook2003}) {
        for (BodyIn source : {BodyIn::PlainText, BodyIn::RichText}) {
            SCOPED_TRACE(SourceName(source));
            m_robot.Expect(kCaption, IDNO);
            ComposeSpec plan = SpecWithBody(source, "plain <text>");
            plan.outlook = outlook;
            ComposeWindow window(plan);
            CallLog::Clear();
            EXPECT_EQ(0, Send(window));
            EXPECT_EQ(calls, CallLog::Lines());
            EXPECT_TRUE(window.Item().HtmlBodyIsNull());
            EXPECT_EQ(source == BodyIn::PlainText ? olFormatPlain : olFormatRichText, window.Item().BodyFormat());
        }
    }
    EXPECT_TRUE(m_robot.WaitForDialogs(4, 5000));
}

// ---------------------------------------------------------------------------
// Writing the marked body back fails after the fragment came: the failure is
// raised, nothing half-written stays, and the hidden window comes back.

struct WriteFailureCase
{
    const char *what;
    BodyIn source;
    const char *object;
    const char *member;
    unsigned nth;
    HRESULT hr;
    IID iid;
};

void PrintTo(const WriteFailureCase &c, std::ostream *os)
{
    *os << c.what;
}

class WriteFailureTest : public TrackedSendTest, public ::testing::WithParamInterface<WriteFailureCase>
{
};

TEST_P(WriteFailureTest, RaisesLeavesTheBodyAndShowsTheWindowAgain)
{
    const WriteFailureCase &c = GetParam();
    Service().SetAnswer(Answer::Fragment(kFragment));
    const std::string body = "<html><body>Hello</body></html>";
    ComposeWindow window(SpecWithBody(c.source, body));
    Faults::FailNth(c.object, c.member, c.nth, c.hr);

    bool raised = false;
    try {
        Send(window);
    } catch (const ComError &e) {
        raised = true;
        EXPECT_EQ(c.hr, e.hr);
        EXPECT_TRUE(IsEqualIID(c.iid, e.iid));
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(1u, Service().Requests().size());
    ExpectBody(window, c.source, body);
    EXPECT_TRUE(window.Window().IsVisible());
    EXPECT_FALSE(window.Message().Has(kPrMsgEditorFormat));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WriteFailureTest,
    ::testing::Values(
        WriteFailureCase{"HTMLBody_put", BodyIn::HtmlBody, "MailItem", "HTMLBody", 3, E_ACCESSDENIED, IID__MailItem},
        WriteFailureCase{"PR_HTML_write", BodyIn::PrHtml, "Stream(PR_HTML)", "Write", 1, STG_E_MEDIUMFULL,
                         IID_IStream},
        WriteFailureCase{"PR_HTML_commit", BodyIn::PrHtml, "Stream(PR_HTML)", "Commit", 1, E_FAIL, IID_IStream},
        WriteFailureCase{"PR_BODY_HTML_write", BodyIn::PrBodyHtml, "Stream(PR_BODY_HTML)", "Write", 1,
                         STG_E_MEDIUMFULL, IID_IStream}),
    [](const ::testing::TestParamInfo<WriteFailureCase> &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------
// Format settings after a marking.

struct FormatCase
{
    const char *what;
    std::optional<LONG> editorFormat;
    LONG bodyFormat;
    bool bodyFormatReadFails;
    std::vector<std::string> calls; // after the body was written back
};

void PrintTo(const FormatCase &c, std::ostream *os)
{
    *os << c.what;
}

class FormatTest : public TrackedSendTest, public ::testing::WithParamInterface<FormatCase>
{
};

TEST_P(FormatTest, HtmlFormatIsForcedOnlyWhereItIsNotSet)
{
    const FormatCase &c = GetParam();
    Service().SetAnswer(Answer::Fragment(kFragment));
    ComposeSpec plan;
    plan.editorFormat = c.editorFormat;
    ComposeWindow window(plan);
    window.Item().SetValue("BodyFormat", *Variant::I4(c.bodyFormat).Get());
    if (c.bodyFormatReadFails)
        Faults::Fail("MailItem", "BodyFormat", E_FAIL);
    CallLog::Clear();

    EXPECT_EQ(0, Send(window));
    std::vector<std::string> lines = CallLog::Lines();
    auto put = std::find_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.compare(0, 20, "MailItem.HTMLBody = ") == 0; });
    ASSERT_NE(lines.end(), put);
    EXPECT_EQ(c.calls, std::vector<std::string>(put + 1, lines.end()));

    const bool forced = c.editorFormat != 2;
    EXPECT_EQ(forced ? 0x00160000 : 0, window.Message().Long(kPrInetMailOverrideFormat));
    EXPECT_EQ(forced || c.editorFormat ? 2 : 0, window.Message().Long(kPrMsgEditorFormat));
    EXPECT_EQ(forced && !c.bodyFormatReadFails ? olFormatHTML : c.bodyFormat, window.Item().BodyFormat());
}

const std::vector<std::string> kForced = {
    "Message.SetProps(PR_INETMAIL_OVERRIDE_FORMAT=1441792) -> S_OK",
    "Message.SetProps(PR_MSG_EDITOR_FORMAT=2) -> S_OK",
    "MailItem.QueryInterface(IDispatch) -> S_OK",
};

std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    ::testing::Values(
        FormatCase{"editor_already_html", 2, olFormatUnspecified, false,
                   {"Message.GetProps(PR_MSG_EDITOR_FORMAT, 0) -> S_OK"}},
        FormatCase{"no_editor_format_body_html", std::nullopt, olFormatHTML, false,
                   Lines({{"Message.GetProps(PR_MSG_EDITOR_FORMAT, 0) -> MAPI_W_ERRORS_RETURNED"}, kForced,
                          {"MailItem.BodyFormat -> S_OK"}})},
        FormatCase{"plain_editor_unspecified_body", 1, olFormatUnspecified, false,
                   Lines({{"Message.GetProps(PR_MSG_EDITOR_FORMAT, 0) -> S_OK"}, kForced,
                          {"MailItem.BodyFormat -> S_OK", "MailItem.BodyFormat = VT_I4 2 -> S_OK"}})},
        FormatCase{"rich_editor_html_body", 3, olFormatHTML, false,
                   Lines({{"Message.GetProps(PR_MSG_EDITOR_FORMAT, 0) -> S_OK"}, kForced,
                          {"MailItem.BodyFormat -> S_OK"}})},
        FormatCase{"body_format_unreadable", 1, olFormatPlain, true,
                   Lines({{"Message.GetProps(PR_MSG_EDITOR_FORMAT, 0) -> S_OK"}, kForced,
                          {"MailItem.BodyFormat -> E_FAIL"}})}),
    [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------
// Tracking switched off, and the object itself.

TEST_F(TrackedSendTest, WithTrackingOffNothingIsTouched)
{
    m_tracking->Set(false);
    Service().SetAnswer(Answer::Fragment(kFragment));
    ComposeWindow window;
    const std::wstring before = window.Item().HtmlBody();
    CMailItem *item = new CMailItem(window.ItemDispatch(), m_tracking, g_pAddin->Account());
    CallLog::Clear();

    EXPECT_EQ(0, item->OnSend());
    EXPECT_TRUE(CallLog::Lines().empty());
    EXPECT_EQ(0u, window.Item().SaveCount());
    EXPECT_EQ(before, window.Item().HtmlBody());
    EXPECT_TRUE(Service().Requests().empty());
    EXPECT_TRUE(m_robot.Lines().empty());
    EXPECT_TRUE(window.Window().IsVisible());
    EXPECT_EQ(0, item->Release());
}

TEST_F(TrackedSendTest, ConstructionHoldsItsPartsAndLogsTheObjectCount)
{
    ComposeWindow window;
    const LONG objects = g_lMyObjects;
    const ULONG itemRefs = window.Item().RefCount();
    const ULONG messageRefs = window.Message().RefCount();
    const long switchRefs = m_tracking.use_count();
    LogMark mark;

    CMailItem *item = new CMailItem(window.ItemDispatch(), m_tracking, g_pAddin->Account());
    EXPECT_EQ(objects + 1, g_lMyObjects);
    EXPECT_EQ((std::vector<std::string>{"CMailItem constructor",
                                        "CMailItem, g_lMyObjects=" + std::to_string(objects + 1),
                                        "CMailItem::AddRef : count=1"}),
              mark.LinesSince());
    EXPECT_EQ((std::vector<std::string>{"MailItem.MAPIOBJECT -> S_OK", "Message.QueryInterface(IMessage) -> S_OK"}),
              CallLog::Lines());
    EXPECT_EQ(window.ItemDispatch(), item->GetMailItem());
    EXPECT_EQ(itemRefs + 1, window.Item().RefCount());
    EXPECT_EQ(messageRefs + 1, window.Message().RefCount());
    EXPECT_EQ(switchRefs + 1, m_tracking.use_count());

    EXPECT_EQ(0, item->OnOpen());
    EXPECT_EQ(0, item->OnWrite());
    EXPECT_EQ(0, item->OnClose());
    EXPECT_EQ(2, item->AddRef());
    EXPECT_EQ(1, item->Release());
    EXPECT_EQ(2u, CallLog::Lines().size());

    LogMark last;
    EXPECT_EQ(0, item->Release());
    EXPECT_EQ((std::vector<std::string>{"CMailItem::Release : count=0", "CMailItem destructor",
                                        "~CMailItem, g_lMyObjects=" + std::to_string(objects)}),
              last.LinesSince());
    EXPECT_EQ(objects, g_lMyObjects);
    EXPECT_EQ(itemRefs, window.Item().RefCount());
    EXPECT_EQ(messageRefs, window.Message().RefCount());
    EXPECT_EQ(switchRefs, m_tracking.use_count());
}

TEST_F(TrackedSendTest, AMailItemWithoutItsMapiObjectCannotBeTracked)
{
    struct Case
    {
        bool fails; // else: MAPIOBJECT gives nothing
        HRESULT hr;
    };
    for (const Case &c : {Case{true, E_ACCESSDENIED}, Case{false, E_POINTER}}) {
        ComposeWindow window;
        if (c.fails)
            Faults::Fail("MailItem", "MAPIOBJECT", c.hr);
        else
            window.Item().SetMessage(nullptr);
        const LONG objects = g_lMyObjects;
        const ULONG itemRefs = window.Item().RefCount();
        const long switchRefs = m_tracking.use_count();
        LogMark mark;

        bool raised = false;
        try {
            new CMailItem(window.ItemDispatch(), m_tracking, g_pAddin->Account());
        } catch (const ComError &e) {
            raised = true;
            EXPECT_EQ(c.hr, e.hr);
            EXPECT_TRUE(IsEqualIID(IID__MailItem, e.iid));
        }
        EXPECT_TRUE(raised);
        EXPECT_EQ(objects, g_lMyObjects);
        EXPECT_EQ(itemRefs, window.Item().RefCount());
        EXPECT_EQ(switchRefs, m_tracking.use_count());
        // The switch is given back; nothing was counted.
        EXPECT_TRUE(mark.LinesSince().empty());
        Faults::Clear();
    }
}

// ---------------------------------------------------------------------------
// While the service is slow the Outlook thread goes on dispatching.

double Milliseconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * double(now.QuadPart) / double(frequency.QuadPart);
}

// What arrives while the exchange waits is dispatched as it comes, however
// much comes at once; a WM_QUIT among it is handed back once the wait is over.
TEST_F(TrackedSendTest, MessagesPostedDuringTheExchangeAreHandledAsTheyCome)
{
    Service().SetAnswer(Answer::Fragment(kFragment).Delayed(1000));
    ComposeWindow window;
    std::vector<double> latencies;
    size_t flood = 0;
    bool exchangeOver = false;
    ThreadWindow receiver([&](WPARAM which) {
        if (exchangeOver)
            return;
        if (which < 10)
            latencies.push_back(Milliseconds());
        else if (++flood == 1000)
            PostQuitMessage(7);
    });
    std::vector<double> postedAt;
    std::thread poster([&] {
        if (!Service().WaitForRequests(1, 10000))
            return;
        for (int i = 0; i < 10; ++i) {
            postedAt.push_back(Milliseconds());
            PostMessageA(receiver.Hwnd(), WM_APP, i, 0);
            Sleep(60);
        }
        // A burst: more than one message per slice, which a loop taking one a
        // slice would still be working through after the exchange.
        for (int i = 0; i < 1000; ++i)
            PostMessageA(receiver.Hwnd(), WM_APP, 10, 0);
    });
    EXPECT_EQ(0, Send(window));
    exchangeOver = true;
    poster.join();

    ASSERT_EQ(10u, postedAt.size());
    ASSERT_EQ(10u, latencies.size()) << "every message was handled while the exchange waited";
    for (size_t i = 0; i < latencies.size(); ++i)
        EXPECT_LT(latencies[i] - postedAt[i], 45.0) << "message " << i;
    EXPECT_EQ(1000u, flood);
    MSG quit;
    ASSERT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, quit.wParam);
}

// A second window's send, set off by a message dispatched during the first
// exchange, runs its own exchange meanwhile; both mails end up marked with
// their own fragments.
TEST_F(TrackedSendTest, ASecondWindowSendsWhileTheFirstWaits)
{
    const char first[] = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/1\">";
    const char second[] = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/2\">";
    Service().QueueAnswer(Answer::Fragment(first).Delayed(1000));
    Service().QueueAnswer(Answer::Fragment(second));
    ComposeSpec firstSpec, secondSpec;
    firstSpec.subject = L"one";
    firstSpec.html = L"<body>1</body>";
    secondSpec.subject = L"two";
    secondSpec.html = L"<body>2</body>";
    ComposeWindow firstWindow(firstSpec), secondWindow(secondSpec);

    int secondResult = -1;
    bool firstStillWaiting = false;
    ThreadWindow trigger([&](WPARAM) {
        firstStillWaiting = Service().Requests().size() == 1;
        secondResult = Send(secondWindow);
    });
    std::thread poster([&] {
        if (Service().WaitForRequests(1, 10000))
            PostMessageA(trigger.Hwnd(), WM_APP, 0, 0);
    });
    EXPECT_EQ(0, Send(firstWindow));
    poster.join();

    EXPECT_TRUE(firstStillWaiting);
    EXPECT_EQ(0, secondResult);
    EXPECT_EQ(L"<body>1" + Wide(first) + L"</body>", firstWindow.Item().HtmlBody());
    EXPECT_EQ(L"<body>2" + Wide(second) + L"</body>", secondWindow.Item().HtmlBody());
    std::vector<ReceivedRequest> requests = Service().Requests();
    ASSERT_EQ(2u, requests.size());
    TrackingForm one, two;
    ASSERT_TRUE(DecodeTrackingForm(requests[0].body, one));
    ASSERT_TRUE(DecodeTrackingForm(requests[1].body, two));
    EXPECT_EQ("one", one.subj);
    EXPECT_EQ("two", two.subj);
    EXPECT_TRUE(OnlyThisThread(MessageRecords(), GetCurrentThreadId()));
    EXPECT_FALSE(firstWindow.Window().IsVisible());
    EXPECT_FALSE(secondWindow.Window().IsVisible());
}

// The stand-in host's own part in a send: Outlook fires Send and honours the
// answer. Nothing listens here, so the mail goes out and its window closes.
TEST(HostMailItem, SendFiresSendAndRecordsWhatWentOut)
{
    ComposeSpec plan = SpecWithBody(BodyIn::PrHtml, "<body>s</body>");
    ComposeWindow window(plan);
    window.Item().SetHtmlBody(L"<body>h</body>");
    CallLog::Clear();
    EXPECT_TRUE(window.Item().Send());
    EXPECT_EQ(std::vector<std::string>{"MailItem => ItemEvents 0xF005(VT_BOOL|VT_BYREF 0) -> S_OK"}, CallLog::Lines());
    EXPECT_TRUE(window.Item().IsSent());
    ASSERT_TRUE(window.Item().Sent().has_value());
    EXPECT_EQ(L"<body>h</body>", *window.Item().Sent()->htmlBody);
    EXPECT_EQ("<body>s</body>", *window.Item().Sent()->html);
    EXPECT_FALSE(window.Item().Sent()->bodyHtml.has_value());
    EXPECT_TRUE(window.Window().IsClosed());
}

// The message's answers are MAPI buffers the add-in frees with MAPIFreeBuffer;
// allocating them needs no MAPIInitialize, which the add-in never calls.
// Outlook 2016 answers each tag with its own type; 2003 let the flags decide.
TEST(HostMapiMessage, AnswersInMapiBuffersWithTheTypesAsked)
{
    const ULONG wideTo = PROP_TAG(PT_UNICODE, 0x0E04);
    struct Case
    {
        Generation outlook;
        ULONG askedTag;
        ULONG flags;
        StringStore strings;
        HRESULT hr;
        ULONG stringTag; // PT_ERROR: not found
    };
    const Case cases[] = {
        {Generation::Outlook2016, kPrDisplayTo, MAPI_UNICODE, StringStore::Unicode, MAPI_W_ERRORS_RETURNED, kPrDisplayTo},
        {Generation::Outlook2016, wideTo, 0, StringStore::Unicode, MAPI_W_ERRORS_RETURNED, wideTo},
        {Generation::Outlook2016, wideTo, 0, StringStore::EightBitOnly, MAPI_W_ERRORS_RETURNED,
         PROP_TAG(PT_ERROR, 0x0E04)},
        {Generation::Outlook2016, wideTo, MAPI_UNICODE, StringStore::RejectsUnicode, MAPI_E_BAD_CHARWIDTH, 0},
        {Generation::Outlook2003, kPrDisplayTo, MAPI_UNICODE, StringStore::Unicode, MAPI_W_ERRORS_RETURNED, wideTo},
        {Generation::Outlook2003, kPrDisplayTo, 0, StringStore::Unicode, MAPI_W_ERRORS_RETURNED, kPrDisplayTo},
        {Generation::Outlook2003, kPrDisplayTo, MAPI_UNICODE, StringStore::EightBitOnly, MAPI_W_ERRORS_RETURNED,
         kPrDisplayTo},
        {Generation::Outlook2003, kPrDisplayTo, MAPI_UNICODE, StringStore::RejectsUnicode, MAPI_E_BAD_CHARWIDTH, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        PlayOutlook playing(c.outlook);
        ComPtr<MapiMessage> message = Create<MapiMessage>();
        SPropValue value = {};
        value.ulPropTag = kPrMsgEditorFormat;
        value.Value.l = 2;
        EXPECT_EQ(S_OK, message->SetProps(1, &value, nullptr));
        message->SetString(kPrDisplayTo, L"\u00E9\u4E2D");
        message->SetStringStore(c.strings);
        SizedSPropTagArray(3, tags) = {3, {kPrMsgEditorFormat, c.askedTag, kPrInetMailOverrideFormat}};
        ULONG count = 0;
        LPSPropValue values = nullptr;
        ASSERT_EQ(c.hr, message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), c.flags, &count, &values));
        if (FAILED(c.hr)) {
            EXPECT_EQ(nullptr, values);
            continue;
        }
        ASSERT_EQ(3u, count);
        EXPECT_EQ(kPrMsgEditorFormat, values[0].ulPropTag);
        EXPECT_EQ(2, values[0].Value.l);
        EXPECT_EQ(c.stringTag, values[1].ulPropTag);
        if (PROP_TYPE(c.stringTag) == PT_UNICODE) {
            EXPECT_EQ(std::wstring(L"\u00E9\u4E2D"), values[1].Value.lpszW);
        } else if (PROP_TYPE(c.stringTag) == PT_STRING8) {
            EXPECT_EQ(AnsiFromWide(L"\u00E9\u4E2D"), values[1].Value.lpszA); // '?' for what it cannot hold
        }
        EXPECT_EQ(PROP_TAG(PT_ERROR, 0x5902), values[2].ulPropTag);
        EXPECT_EQ(MAPI_E_NOT_FOUND, values[2].Value.err);
        EXPECT_EQ(S_OK, MAPIFreeBuffer(values));
    }
}

// A property stream: what a writer commits is the property, exactly. Today's
// Outlook opens it for writing only with MAPI_MODIFY, and with the old bytes
// in place beyond what is written.
TEST(HostMapiMessage, CommittedStreamsReplaceThePropertyExactly)
{
    ComPtr<MapiMessage> message = Create<MapiMessage>();
    message->SetBinary(kPrHtml, "0123456789");
    IUnknown *unknown = nullptr;
    EXPECT_EQ(MAPI_E_NOT_FOUND, message->OpenProperty(kPrBodyHtml, &IID_IStream, 0, 0, &unknown));
    EXPECT_EQ(MAPI_E_NO_ACCESS, message->OpenProperty(kPrHtml, &IID_IStream, STGM_WRITE, 0, &unknown));
    ASSERT_EQ(S_OK, message->OpenProperty(kPrHtml, &IID_IStream, STGM_WRITE, MAPI_MODIFY, &unknown));
    ComPtr<IStream> writer(static_cast<IStream *>(unknown));
    ULONG written = 0;
    EXPECT_EQ(S_OK, writer->Write("abc", 3, &written));
    EXPECT_EQ(3u, written);
    EXPECT_EQ("0123456789", message->Bytes(kPrHtml));
    EXPECT_EQ(S_OK, writer->Commit(STGC_OVERWRITE));
    EXPECT_EQ("abc3456789", message->Bytes(kPrHtml));
    ULARGE_INTEGER three;
    three.QuadPart = 3;
    EXPECT_EQ(S_OK, writer->SetSize(three));
    EXPECT_EQ(S_OK, writer->Commit(STGC_OVERWRITE));
    EXPECT_EQ("abc", message->Bytes(kPrHtml));

    message->SetShortRead(kPrHtml, 2);
    ASSERT_EQ(S_OK, message->OpenProperty(kPrHtml, &IID_IStream, 0, 0, &unknown));
    ComPtr<IStream> reader(static_cast<IStream *>(unknown));
    STATSTG stat = {};
    EXPECT_EQ(S_OK, reader->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(3u, stat.cbSize.LowPart);
    char buffer[8] = {};
    ULONG read = 0;
    EXPECT_EQ(S_OK, reader->Read(buffer, sizeof buffer, &read));
    EXPECT_EQ(2u, read);
    EXPECT_EQ(STG_E_ACCESSDENIED, reader->Write("x", 1, &written));
}

} // namespace

namespace host {
void PrintTo(BodyIn source, std::ostream *os)
{
    *os << SourceName(source);
}
} // namespace host
