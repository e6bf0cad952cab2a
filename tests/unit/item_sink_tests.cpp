// The mail item sink against the stand-in host: its table of events, the
// property names it logs, the malformed calls it must survive, and sends
// through the host with tracking off, tracked, refused, and with a failure
// injected at each call of the send flow.
#include "com/Identity.h"
#include "buttons/TrackingButtonHandler.h"
#include "com/ComError.h"
#include "com/Guids.h"
#include "events/ItemHandler.h"
#include "host/CallLog.h"
#include "host/ComposeWindow.h"
#include "host/DialogRobot.h"
#include "host/DispObject.h"
#include "host/Faults.h"
#include "host/Outlook.h"
#include "host/Text.h"
#include "host/TrackingService.h"
#include "log/DebugLog.h"
#include "settings/Settings.h"
#include "tracking/MailItem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace host;
using test::Lines;
using test::LogTail;

namespace {

const char kRefusalText[] = "Quorvia could not prepare this message for tracking, so it was not sent. Switch "
                            "tracking off to send it without tracking.";
const char kHtmlOnlyText[] =
    "Quorvia tracking available only for HTML messages. Choose Yes if you want to change message format to HTML "
    "manually or No if you want to send it without tracking capability.";
const std::string kFragment = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/1.gif\">";
const std::wstring kOriginalHtml = L"<html><body>Hello</body></html>";
const std::wstring kMarkedHtml = L"<html><body>Hello<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/1.gif\"></body></html>";
const std::string kOriginalStream = "<html><body>Hello</body></html>";
const std::string kMarkedStream = "<html><body>Hello<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/1.gif\"></body></html>";

// The window's Tracking switch; the registry value turning it writes is put
// back afterwards.
class TrackingSwitch
{
public:
    TrackingSwitch() : m_switch(CTrackingSwitch::FromStoredDefault())
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, QUORVIA_SETTINGS_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            DWORD value = 0, size = sizeof value;
            if (RegQueryValueExA(key, "Tracking", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size) ==
                ERROR_SUCCESS)
                m_saved = value;
            RegCloseKey(key);
        }
    }
    TrackingSwitch(const TrackingSwitch &) = delete;
    TrackingSwitch &operator=(const TrackingSwitch &) = delete;
    ~TrackingSwitch()
    {
        if (!m_touched)
            return;
        if (m_saved) {
            CSettings().WriteDword(L"Tracking", *m_saved);
        } else {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, QUORVIA_SETTINGS_KEY, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
                RegDeleteValueA(key, "Tracking");
                RegCloseKey(key);
            }
        }
    }

    void TurnOn()
    {
        m_touched = true;
        m_switch->Set(true);
    }
    const TrackingSwitchPtr &Get() const { return m_switch; }

private:
    TrackingSwitchPtr m_switch;
    std::optional<DWORD> m_saved;
    bool m_touched = false;
};

// One compose window with the add-in's objects on it, as the inspector sink
// builds them: the tracked item, then the item sink; released the other way.
class TrackedWindow
{
public:
    explicit TrackedWindow(const ComposeSpec &plan = ComposeSpec(), bool trackingOn = false) : window(plan)
    {
        if (trackingOn)
            tracking.TurnOn();
        tracked = new CMailItem(window.ItemDispatch(), tracking.Get(), nullptr);
        sink = new CItemHandler(tracked);
        CallLog::Clear();
    }
    TrackedWindow(const TrackedWindow &) = delete;
    TrackedWindow &operator=(const TrackedWindow &) = delete;
    ~TrackedWindow()
    {
        sink->Release();
        tracked->Release();
    }

    MailItem &Item() const { return window.Item(); }
    EventSource &Events() const { return window.Item().Events(); }

    ComposeWindow window;
    TrackingSwitch tracking;
    CMailItem *tracked = nullptr;
    CItemHandler *sink = nullptr;
};

std::string EventLine(const char *name, DISPID id)
{
    char hex[8];
    snprintf(hex, sizeof hex, "%04lX", static_cast<unsigned long>(id));
    return std::string("MailItem Event: ") + name + " (" + hex + ")";
}

// A Send holds the tracked item for its own duration: the window may be
// closed while the exchange dispatches messages.
Lines SendLines()
{
    return {EventLine("Send", 0xF005), "CMailItem::AddRef : count=2", "CMailItem::Release : count=1"};
}

std::string PropertyLine(const char *name, DISPID id, const std::string &property)
{
    return EventLine(name, id) + " - " + property;
}

// Everything the sink did to the host, without the events fired into it.
Lines HostCalls()
{
    CallFilter filter;
    filter.events = false;
    return CallLog::Lines(filter);
}

class ItemSinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CallLog::Clear();
        Faults::Clear();
    }
    void TearDown() override { Faults::Clear(); }
};

} // namespace

// --- the table of events -------------------------------------------------------------

TEST_F(ItemSinkTest, EachEventLogsItsLineAndOnlySendAndCloseReachTheHostWithTrackingOff)
{
    TrackedWindow w;
    struct Event
    {
        DISPID id;
        const char *name;
        bool cancelArgument;
    };
    const Event events[] = {
        {0xF001, "Read", false},
        {0xF002, "Write", true},
        {0xF003, "Open", false},
        {0xF004, "Close", true},
        {0xF005, "Send", true},
        {0xF006, "CustomAction", false},
        {0xF00A, "BeforeCheckNames", true},
        {0xF00B, "AttachmentAdd", false},
        {0xF00C, "AttachmentRead", false},
        {0xF00D, "BeforeAttachmentSave", true},
        {0xF466, "Reply", true},
        {0xF467, "ReplyAll", true},
        {0xF468, "Forward", true},
        {0xF007, "<Unknown>", false},
        {0xF00E, "<Unknown>", false},
        {0x0001, "<Unknown>", false},
    };
    for (const Event &e : events) {
        SCOPED_TRACE(e.name);
        CallLog::Clear();
        LogTail log;
        VARIANT_BOOL cancel = VARIANT_FALSE;
        std::vector<VARIANT> args;
        if (e.cancelArgument)
            args.push_back(ByRefBool(&cancel));
        Variant result;
        EXPECT_EQ(S_OK, w.Events().Fire(e.id, args, result.Receive()));
        EXPECT_EQ(VT_EMPTY, result.Type());
        EXPECT_EQ(VARIANT_FALSE, cancel);
        EXPECT_EQ(e.id == 0xF005 ? SendLines() : Lines{EventLine(e.name, e.id)}, log.Read());
        // With tracking off not even Send asks the host anything.
        EXPECT_EQ(Lines{}, HostCalls());
    }
    EXPECT_FALSE(w.Item().IsSent());
    EXPECT_EQ(0u, w.Item().SaveCount());
}

TEST_F(ItemSinkTest, SendWithTrackingOffLeavesTheResultAndTheCancelArgumentAlone)
{
    TrackedWindow w;
    LogTail log;
    VARIANT_BOOL cancel = VARIANT_TRUE;
    VARIANT arg = ByRefBool(&cancel);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    result.vt = VT_I4;
    result.lVal = 31337;
    EXPECT_EQ(S_OK, w.sink->Invoke(0xF005, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(31337, result.lVal);
    EXPECT_EQ(VARIANT_TRUE, cancel);
    EXPECT_EQ(SendLines(), log.Read());
    EXPECT_EQ(Lines{}, HostCalls());
}

// --- PropertyChange and CustomPropertyChange ----------------------------------------------

TEST_F(ItemSinkTest, PropertyChangesLogTheNameTheyCarryAndNothingElse)
{
    TrackedWindow w;
    BSTR subjectText = SysAllocString(L"Subject");
    struct Case
    {
        const char *what;
        VARIANT argument;
        const char *logged;
    };
    VARIANT subject;
    VariantInit(&subject);
    subject.vt = VT_BSTR;
    subject.bstrVal = subjectText;
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 5;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.pbstrVal = &subjectText;
    VARIANT nullString;
    VariantInit(&nullString);
    nullString.vt = VT_BSTR;
    nullString.bstrVal = nullptr;
    VARIANT dispatch;
    VariantInit(&dispatch);
    dispatch.vt = VT_DISPATCH;
    dispatch.pdispVal = w.window.ItemDispatch();
    const Case cases[] = {
        {"a name", subject, "Subject"},
        {"a number", number, ""},
        {"a string by reference", byRef, ""},
        {"a null string", nullString, ""},
        {"an object", dispatch, ""},
    };
    for (const Case &c : cases) {
        for (DISPID id : {0xF009, 0xF008}) {
            const char *name = id == 0xF009 ? "PropertyChange" : "CustomPropertyChange";
            SCOPED_TRACE(std::string(name) + " with " + c.what);
            LogTail log;
            EXPECT_EQ(S_OK, w.Events().Fire(id, {c.argument}));
            EXPECT_EQ(Lines{PropertyLine(name, id, c.logged)}, log.Read());
        }
    }
    // PropertyChange is a level-2 line, CustomPropertyChange a level-1 one.
    const DWORD level = g_dwDebugLevel;
    g_dwDebugLevel = 1;
    LogTail quieter;
    EXPECT_EQ(S_OK, w.Events().Fire(0xF009, {subject}));
    EXPECT_EQ(S_OK, w.Events().Fire(0xF008, {subject}));
    g_dwDebugLevel = level;
    EXPECT_EQ(Lines{PropertyLine("CustomPropertyChange", 0xF008, "Subject")}, quieter.Read());

    EXPECT_EQ(Lines{}, HostCalls());
    SysFreeString(subjectText);
}

TEST_F(ItemSinkTest, PropertyChangeWithoutAnArgumentLogsAnEmptyNameAndReadsNoFurther)
{
    TrackedWindow w;
    // A name lies right where a careless reader would look, though the call says it brings none.
    Variant decoy = Str("Decoy");
    struct Case
    {
        const char *what;
        bool hasParams;
        VARIANT *rgvarg;
    };
    const Case cases[] = {
        {"cArgs 0 with an array behind it", true, decoy.Get()},
        {"cArgs 0 without an array", true, nullptr},
        {"no DISPPARAMS at all", false, nullptr},
    };
    for (const Case &c : cases) {
        for (DISPID id : {0xF009, 0xF008}) {
            const char *name = id == 0xF009 ? "PropertyChange" : "CustomPropertyChange";
            SCOPED_TRACE(std::string(name) + ", " + c.what);
            LogTail log;
            DISPPARAMS params = {c.rgvarg, nullptr, 0, 0};
            Variant result;
            EXPECT_EQ(S_OK, w.Events().FireRaw(id, IID_NULL, 0, DISPATCH_METHOD, c.hasParams ? &params : nullptr,
                                                result.Receive()));
            EXPECT_EQ(VT_EMPTY, result.Type());
            EXPECT_EQ(Lines{PropertyLine(name, id, "")}, log.Read());
        }
    }
}

TEST_F(ItemSinkTest, AnotherInterfaceIsRefusedSilentlyEvenForSend)
{
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment(kFragment));
    TrackedWindow w(ComposeSpec(), true);
    CallLog::Clear();
    LogTail log;
    for (DISPID id : {0xF005, 0xF004, 0xF009, 0xF001}) {
        VARIANT_BOOL cancel = VARIANT_FALSE;
        VARIANT arg = ByRefBool(&cancel);
        DISPPARAMS params = {&arg, nullptr, 1, 0};
        Variant result;
        EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
                  w.Events().FireRaw(id, IID_IDispatch, 0, DISPATCH_METHOD, &params, result.Receive()));
        EXPECT_EQ(VT_EMPTY, result.Type());
        EXPECT_EQ(VARIANT_FALSE, cancel);
    }
    EXPECT_EQ(Lines{}, log.Read());
    EXPECT_EQ(Lines{}, HostCalls());
    EXPECT_EQ(0u, service.Requests().size());
    EXPECT_EQ(kOriginalHtml, w.Item().HtmlBody());
}

// --- sends through the host ------------------------------------------------------------------

TEST_F(ItemSinkTest, SendWithTrackingOffGoesOutUntouched)
{
    TrackedWindow w;
    DialogRobot robot;
    LogTail log;
    EXPECT_TRUE(w.Item().Send());
    EXPECT_EQ(S_OK, w.Item().LastSendResult());
    ASSERT_TRUE(w.Item().Sent().has_value());
    EXPECT_EQ(kOriginalHtml, w.Item().Sent()->htmlBody.value_or(L"(null)"));
    EXPECT_EQ(SendLines(), log.Read());
    EXPECT_EQ(Lines{"MailItem => ItemEvents 0xF005(VT_BOOL|VT_BYREF 0) -> S_OK"}, CallLog::Lines());
    EXPECT_EQ(Lines{}, robot.Lines());
}

TEST_F(ItemSinkTest, TrackedSendGoesOutMarkedOnce)
{
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment(kFragment));
    TrackedWindow w(ComposeSpec(), true);
    DialogRobot robot;
    LogTail log;
    EXPECT_TRUE(w.Item().Send());
    EXPECT_EQ(S_OK, w.Item().LastSendResult());
    ASSERT_TRUE(w.Item().Sent().has_value());
    EXPECT_EQ(kMarkedHtml, w.Item().Sent()->htmlBody.value_or(L"(null)"));
    EXPECT_EQ(1u, service.Requests().size());
    EXPECT_EQ(1u, w.Item().SaveCount());
    Lines written = log.Read();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(EventLine("Send", 0xF005), written.front());
    for (const std::string &line : written)
        EXPECT_EQ(std::string::npos, line.find("failed")) << line;
    EXPECT_EQ(Lines{}, robot.Lines());
}

TEST_F(ItemSinkTest, RefusedSendIsCancelledThroughTheCancelArgumentAndTheResultInEitherOutlook)
{
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    ComposeSpec plain;
    plain.bodyIn = BodyIn::PlainText;
    TrackedWindow w(plain, true);
    DialogRobot robot;
    // Yes: the user cancels to switch the format by hand.
    for (int i = 0; i < 3; ++i)
        robot.Expect(QUORVIA_CAPTION, IDYES);

    // Cancel becomes TRUE, as today's Outlook reads it; the result VARIANT
    // gets VT_BOOL FALSE, as Outlook 2003 read it, and the rest of it stays.
    LogTail log;
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANT arg = ByRefBool(&cancel);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    result.vt = VT_I4;
    result.lVal = 0x7FFF0000;
    EXPECT_EQ(S_FALSE, w.sink->Invoke(0xF005, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    EXPECT_EQ(VT_BOOL, result.vt);
    EXPECT_EQ(VARIANT_FALSE, result.boolVal);
    EXPECT_EQ(0x7FFF, HIWORD(result.lVal)); // only the boolean's bytes were written
    EXPECT_EQ(VARIANT_TRUE, cancel);
    EXPECT_EQ(SendLines(), log.Read());

    // And through either host: not sent, the window open and shown.
    plain.outlook = Generation::Outlook2003;
    TrackedWindow legacy(plain, true);
    for (TrackedWindow *window : {&w, &legacy}) {
        EXPECT_FALSE(window->Item().Send());
        EXPECT_EQ(S_FALSE, window->Item().LastSendResult());
        EXPECT_FALSE(window->Item().IsSent());
        EXPECT_FALSE(window->window.Window().IsClosed());
        EXPECT_TRUE(window->window.Window().IsVisible());
    }
    EXPECT_EQ(0u, service.Requests().size());

    const std::string prompt = std::string("\"" QUORVIA_CAPTION "\" \"") + kHtmlOnlyText + "\" MB_YESNO|MB_ICONWARNING -> IDYES";
    EXPECT_EQ((Lines{prompt, prompt, prompt}), robot.Lines());
    // Owned by the mail window, so it cannot hide behind Outlook.
    const std::vector<DialogRecord> dialogs = robot.Dialogs();
    ASSERT_EQ(3u, dialogs.size());
    EXPECT_EQ(w.window.Window().Hwnd(), dialogs[1].owner);
    EXPECT_EQ(legacy.window.Window().Hwnd(), dialogs[2].owner);
}

// The window goes hidden while a marked mail goes out. Should Outlook or an
// add-in after this one refuse the send, the user gets the window back once
// Outlook's loop runs; a mail that went out stays out of sight.
TEST_F(ItemSinkTest, AWindowHiddenForASendRefusedAfterTheAddinsPartComesBack)
{
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment(kFragment));
    for (bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "refused later" : "sent");
        TrackedWindow w(ComposeSpec(), true);
        w.Item().SetRefusesToSend(refused);
        EXPECT_EQ(!refused, w.Item().Send());
        EXPECT_FALSE(w.window.Window().IsVisible());
        CallLog::Clear();
        Outlook::Idle();
        EXPECT_EQ(Lines{"MailItem.Submitted -> S_OK"}, HostCalls());
        EXPECT_EQ(refused, w.window.Window().IsVisible());
        EXPECT_EQ(kMarkedHtml, w.Item().HtmlBody());
    }
}

// --- a failure at each call of the send flow ------------------------------------------------------

namespace {

const HRESULT kInjected = static_cast<HRESULT>(0x8004DEAD);

enum class Outcome
{
    Refused,          // not sent, body intact, the refusal box, a level-1 line
    SentMarked,       // the failure is tolerated: sent, marked once
    AskedHtmlOnly,    // the body could not be read: the HTML-only prompt, answered No (send untracked)
};

const char *OutcomeName(Outcome o)
{
    switch (o) {
    case Outcome::Refused: return "refused";
    case Outcome::SentMarked: return "sent marked";
    case Outcome::AskedHtmlOnly: return "asked, sent untracked";
    }
    return "?";
}

// A body only in a MAPI stream is Outlook 2003's; today's gives it as HTMLBody.
ComposeSpec SpecFor(BodyIn bodyIn)
{
    ComposeSpec plan;
    plan.to = L"Ann <ann@example.com>";
    plan.subject = L"Figures";
    plan.bodyIn = bodyIn;
    if (bodyIn != BodyIn::HtmlBody)
        plan.outlook = Generation::Outlook2003;
    return plan;
}

// The interface a refusal's log line names for a failing call on this object.
const IID &InterfaceOf(const std::string &object)
{
    if (object == "MailItem")
        return IID__MailItem;
    if (object == "Inspector")
        return IID__Inspector;
    if (object.compare(0, 7, "Stream(") == 0)
        return IID_IStream;
    return GUID_NULL;
}

std::string GuidString(REFGUID g)
{
    return GuidText(g).c_str();
}

// Whether the body, wherever it sits, is as the user wrote it (`sent`: as it went out).
bool BodyIntact(BodyIn bodyIn, const TrackedWindow &w)
{
    switch (bodyIn) {
    case BodyIn::HtmlBody: return w.Item().HtmlBody() == kOriginalHtml;
    case BodyIn::PrHtml: return w.window.Message().Bytes(kPrHtml) == kOriginalStream;
    case BodyIn::PrBodyHtml: return w.window.Message().Bytes(kPrBodyHtml) == kOriginalStream;
    default: return false;
    }
}

bool SentMarked(BodyIn bodyIn, const SentMail &sent)
{
    switch (bodyIn) {
    case BodyIn::HtmlBody: return sent.htmlBody && *sent.htmlBody == kMarkedHtml;
    case BodyIn::PrHtml: return sent.html && *sent.html == kMarkedStream;
    case BodyIn::PrBodyHtml: return sent.bodyHtml && *sent.bodyHtml == kMarkedStream;
    default: return false;
    }
}

bool SentUntouched(BodyIn bodyIn, const SentMail &sent)
{
    switch (bodyIn) {
    case BodyIn::HtmlBody: return sent.htmlBody && *sent.htmlBody == kOriginalHtml;
    case BodyIn::PrHtml: return sent.html && *sent.html == kOriginalStream;
    case BodyIn::PrBodyHtml: return sent.bodyHtml && *sent.bodyHtml == kOriginalStream;
    default: return false;
    }
}

struct Injection
{
    CallSite site;
    unsigned nth;
    std::string Name() const { return site.object + "." + site.member + " #" + std::to_string(nth); }
};

// A window for the sweep; a format other than HTML makes the send force it.
void SetBodyFormat(TrackedWindow &w, LONG format)
{
    w.Item().SetValue("BodyFormat", *Variant::I4(format).Get());
}

// Every call of a good tracked send, each occurrence of each (object, member) once.
std::vector<Injection> CallsOfAGoodSend(BodyIn bodyIn, LONG bodyFormat)
{
    TrackedWindow w(SpecFor(bodyIn), true);
    SetBodyFormat(w, bodyFormat);
    CallLog::Clear();
    EXPECT_TRUE(w.Item().Send());
    EXPECT_TRUE(w.Item().Sent() && SentMarked(bodyIn, *w.Item().Sent()));
    EXPECT_EQ(olFormatHTML, w.Item().BodyFormat());
    CallFilter filter;
    filter.nameLookups = true;
    filter.events = false;
    std::vector<CallRecord> records = CallLog::Records(filter);
    std::vector<Injection> injections;
    for (const CallSite &site : CallLog::DistinctCalls(filter)) {
        unsigned occurrences = 0;
        for (const CallRecord &r : records)
            if (r.object == site.object && r.member == site.member)
                ++occurrences;
        for (unsigned n = 1; n <= occurrences; ++n)
            injections.push_back(Injection{site, n});
    }
    return injections;
}

// Sends once with the injection in place and checks the outcome it must have.
void SendWithFailure(BodyIn bodyIn, LONG bodyFormat, const Injection &injection, Outcome expected)
{
    SCOPED_TRACE(injection.Name() + " failing, expected " + OutcomeName(expected));
    TrackedWindow w(SpecFor(bodyIn), true);
    SetBodyFormat(w, bodyFormat);
    DialogRobot robot;
    if (expected == Outcome::Refused)
        robot.Expect(QUORVIA_CAPTION, IDOK);
    else if (expected == Outcome::AskedHtmlOnly)
        robot.Expect(QUORVIA_CAPTION, IDNO);
    CallLog::Clear();
    Faults::Clear();
    Faults::FailNth(injection.site.object, injection.site.member, injection.nth, kInjected);
    LogTail log;

    bool sent = false;
    EXPECT_NO_THROW(sent = w.Item().Send());
    Faults::Clear();

    // The injected failure did happen, where it was meant to.
    bool injected = false;
    for (const CallRecord &r : CallLog::Records(CallFilter::Everything()))
        injected = injected || (r.object == injection.site.object && r.member == injection.site.member &&
                                r.hr == kInjected);
    EXPECT_TRUE(injected);

    Lines written = log.Read();
    const std::string failureLine = "MailItem Send failed: hr=0x8004DEAD, interface " +
                                    GuidString(InterfaceOf(injection.site.object));
    size_t failureLines = 0;
    for (const std::string &line : written)
        if (line.find("failed") != std::string::npos)
            ++failureLines;

    switch (expected) {
    case Outcome::Refused: {
        EXPECT_FALSE(sent);
        EXPECT_EQ(S_FALSE, w.Item().LastSendResult());
        EXPECT_FALSE(w.Item().IsSent());
        EXPECT_TRUE(BodyIntact(bodyIn, w));
        EXPECT_FALSE(w.window.Window().IsClosed());
        EXPECT_TRUE(w.window.Window().IsVisible());
        const std::string box = std::string("\"" QUORVIA_CAPTION "\" \"") + kRefusalText + "\" MB_OK|MB_ICONWARNING -> IDOK";
        EXPECT_EQ(Lines{box}, robot.Lines());
        for (const DialogRecord &d : robot.Dialogs())
            EXPECT_EQ(nullptr, d.owner);
        EXPECT_EQ(1u, failureLines);
        EXPECT_NE(written.end(), std::find(written.begin(), written.end(), failureLine)) << failureLine;
        break;
    }
    case Outcome::SentMarked:
        EXPECT_TRUE(sent);
        EXPECT_EQ(S_OK, w.Item().LastSendResult());
        ASSERT_TRUE(w.Item().Sent().has_value());
        EXPECT_TRUE(SentMarked(bodyIn, *w.Item().Sent()));
        EXPECT_EQ(Lines{}, robot.Lines());
        EXPECT_EQ(0u, failureLines);
        break;
    case Outcome::AskedHtmlOnly: {
        EXPECT_TRUE(sent);
        ASSERT_TRUE(w.Item().Sent().has_value());
        EXPECT_TRUE(SentUntouched(bodyIn, *w.Item().Sent()));
        const std::string prompt = std::string("\"" QUORVIA_CAPTION "\" \"") + kHtmlOnlyText + "\" MB_YESNO|MB_ICONWARNING -> IDNO";
        EXPECT_EQ(Lines{prompt}, robot.Lines());
        EXPECT_EQ(0u, failureLines);
        break;
    }
    }
    EXPECT_EQ(0u, robot.Pending());
}

// Runs the sweep: the calls of a good send must be exactly those the table
// names, and each failing must end as the table says.
void SweepSendFlow(BodyIn bodyIn, LONG bodyFormat, const std::map<std::string, Outcome> &tolerated,
                   const Lines &expectedCalls)
{
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment(kFragment));
    std::vector<Injection> injections = CallsOfAGoodSend(bodyIn, bodyFormat);
    Lines names;
    for (const Injection &i : injections)
        names.push_back(i.Name());
    EXPECT_EQ(expectedCalls, names);
    for (const Injection &i : injections) {
        auto found = tolerated.find(i.Name());
        SendWithFailure(bodyIn, bodyFormat, i, found == tolerated.end() ? Outcome::Refused : found->second);
    }
}

} // namespace

// Failures the flow tolerates by design, whatever the body source: a format
// that cannot be read is not taken for plain text; recipients and subject that
// cannot be read leave the request without them; a window that cannot be
// hidden stays shown; the format is forced only where it can be.
const char *const kToleratedEverywhere[] = {
    "MailItem.GetIDsOfNames #1", "MailItem.BodyFormat #1", "MailItem.BodyFormat #2",
    "Message.GetProps #1", "Message.GetProps #2", "Message.GetProps #3", "Message.GetProps #4",
    "Message.GetProps #5", "Inspector.QueryInterface(IOleWindow) #1", "Inspector.GetWindow #1",
    "Message.SetProps #1", "Message.SetProps #2", "MailItem.QueryInterface(IDispatch) #1",
};

std::map<std::string, Outcome> Tolerated(std::initializer_list<const char *> sentMarked,
                                         std::initializer_list<const char *> askedHtmlOnly = {})
{
    std::map<std::string, Outcome> table;
    for (const char *name : kToleratedEverywhere)
        table[name] = Outcome::SentMarked;
    for (const char *name : sentMarked)
        table[name] = Outcome::SentMarked;
    for (const char *name : askedHtmlOnly)
        table[name] = Outcome::AskedHtmlOnly;
    return table;
}

TEST_F(ItemSinkTest, AFailureAnywhereInAnHtmlBodySendNeverLosesOrHalfMarksTheMessage)
{
    SweepSendFlow(BodyIn::HtmlBody, olFormatHTML,
                  Tolerated({"MailItem.GetIDsOfNames #7"}), // the second BodyFormat lookup
                  {"MailItem.GetIDsOfNames #1", "MailItem.GetIDsOfNames #2", "MailItem.GetIDsOfNames #3",
                   "MailItem.GetIDsOfNames #4", "MailItem.GetIDsOfNames #5", "MailItem.GetIDsOfNames #6",
                   "MailItem.GetIDsOfNames #7", "MailItem.BodyFormat #1", "MailItem.BodyFormat #2",
                   "MailItem.Save #1", "MailItem.HTMLBody #1", "MailItem.HTMLBody #2", "MailItem.HTMLBody #3",
                   "MailItem.GetInspector #1", "Message.GetProps #1", "Message.GetProps #2", "Message.GetProps #3",
                   "Message.GetProps #4", "Message.GetProps #5", "Inspector.QueryInterface(IOleWindow) #1",
                   "Inspector.GetWindow #1", "Message.SetProps #1", "Message.SetProps #2",
                   "MailItem.QueryInterface(IDispatch) #1"});
}

TEST_F(ItemSinkTest, AFailureAnywhereInAPrHtmlSendNeverLosesOrHalfMarksTheMessage)
{
    // A stream that cannot be opened, sized up or read leaves no HTML body to
    // mark: the user is asked, as for a plain-text message.
    SweepSendFlow(BodyIn::PrHtml, olFormatHTML,
                  Tolerated({"MailItem.GetIDsOfNames #5", "Stream(PR_HTML).SetSize #1"},
                            {"Message.OpenProperty #1", "Message.OpenProperty #2", "Stream(PR_HTML).Stat #1",
                             "Stream(PR_HTML).Read #1"}),
                  {"MailItem.GetIDsOfNames #1", "MailItem.GetIDsOfNames #2", "MailItem.GetIDsOfNames #3",
                   "MailItem.GetIDsOfNames #4", "MailItem.GetIDsOfNames #5", "MailItem.BodyFormat #1",
                   "MailItem.BodyFormat #2", "MailItem.Save #1", "MailItem.HTMLBody #1", "Message.OpenProperty #1",
                   "Message.OpenProperty #2", "Stream(PR_HTML).Stat #1", "Stream(PR_HTML).Read #1",
                   "MailItem.GetInspector #1", "Message.GetProps #1", "Message.GetProps #2", "Message.GetProps #3",
                   "Message.GetProps #4", "Message.GetProps #5", "Inspector.QueryInterface(IOleWindow) #1",
                   "Inspector.GetWindow #1", "Stream(PR_HTML).Write #1", "Stream(PR_HTML).SetSize #1",
                   "Stream(PR_HTML).Commit #1", "Message.SetProps #1", "Message.SetProps #2",
                   "MailItem.QueryInterface(IDispatch) #1"});
}

TEST_F(ItemSinkTest, AFailureAnywhereInAPrBodyHtmlSendWithAnUnspecifiedFormatNeverLosesOrHalfMarksTheMessage)
{
    // The first OpenProperty asks for PR_HTML, which this message lacks anyway.
    SweepSendFlow(BodyIn::PrBodyHtml, olFormatUnspecified,
                  Tolerated({"MailItem.GetIDsOfNames #5", "MailItem.GetIDsOfNames #6", "Message.OpenProperty #1",
                             "Stream(PR_BODY_HTML).SetSize #1", "MailItem.BodyFormat #3"},
                            {"Message.OpenProperty #2", "Message.OpenProperty #3", "Stream(PR_BODY_HTML).Stat #1",
                             "Stream(PR_BODY_HTML).Read #1"}),
                  {"MailItem.GetIDsOfNames #1", "MailItem.GetIDsOfNames #2", "MailItem.GetIDsOfNames #3",
                   "MailItem.GetIDsOfNames #4", "MailItem.GetIDsOfNames #5", "MailItem.GetIDsOfNames #6",
                   "MailItem.BodyFormat #1", "MailItem.BodyFormat #2", "MailItem.BodyFormat #3", "MailItem.Save #1",
                   "MailItem.HTMLBody #1", "Message.OpenProperty #1", "Message.OpenProperty #2",
                   "Message.OpenProperty #3", "Stream(PR_BODY_HTML).Stat #1", "Stream(PR_BODY_HTML).Read #1",
                   "MailItem.GetInspector #1", "Message.GetProps #1", "Message.GetProps #2", "Message.GetProps #3",
                   "Message.GetProps #4", "Message.GetProps #5", "Inspector.QueryInterface(IOleWindow) #1",
                   "Inspector.GetWindow #1", "Stream(PR_BODY_HTML).Write #1", "Stream(PR_BODY_HTML).SetSize #1",
                   "Stream(PR_BODY_HTML).Commit #1", "Message.SetProps #1", "Message.SetProps #2",
                   "MailItem.QueryInterface(IDispatch) #1"});
}
