// The shipped DLL's main scenarios (start with an account stored, compose a
// mail with an HTML body, switch tracking on, send with the service answering
// a fragment, close, quit, let go of the add-in) run once cleanly to learn
// every call the add-in makes on the host (object model, MAPI, ribbon, command
// bars, connection points, name lookups), then once more per occurrence of
// each such call with exactly that call failing. Whatever fails, each run must
// end the same safe way: nothing thrown into the host, no ribbon callback
// failing back to Office, the mail sent unchanged or marked exactly once, or
// kept unsent with its body intact, Outlook's main window still shown, no sink
// left advised, and the DLL's count of live objects back where it was once the
// host has let go too. A host that refuses an Unadvise keeps that sink by its
// own say; there only the count is checked, after the host object is gone.
// The scenarios: a compose window of today's Outlook switched on by its ribbon
// toggle; a reply composed inline in the main window, switched on by the
// inline tab's toggle; and two windows Word 2003 edits, sharing one toolbar.
//
// Boxes the add-in shows on the way are answered by the robot's defaults
// (Cancel, else No, else Ok) and printed with the run: the refusal box gets
// Ok, the HTML-only prompt No (send untracked), the contact and authorization
// prompts No (keep the mail). Both outcomes of each prompt are allowed here;
// the scenario suite checks which answer leads where.
#include "ShippedAddinSupport.h"

#include "host/CallLog.h"
#include "host/DialogRobot.h"
#include "host/Faults.h"
#include "host/Outlook.h"
#include "host/Text.h"
#include "host/TrackingService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <olectl.h>
#include <optional>
#include <string>
#include <vector>

using namespace host;
using namespace test;

namespace {

const char kFragment[] = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/sweep\">";
const std::wstring kBody = L"<html><head><title>Figures</title></head><body><p>Hello Bob,</p>"
                           L"<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/old\"><p>see below.</p></body></html>";
// kBody as it goes out tracked: the earlier element gone, the fragment before </body>.
const std::wstring kMarkedBody = L"<html><head><title>Figures</title></head><body><p>Hello Bob,</p>"
                                 L"<p>see below.</p><img alt=\"qvmk\" src=\"http://www.quorvia.com/t/sweep\"></body></html>";

// The DLL's count of live objects, as its DllCanUnloadNow writes it to the
// log; 0 before the DLL is loaded, -1 when the line is missing. A leak in one
// run would stay in the count for the next, so each run is judged by the difference.
long LiveObjectsOfShippedDll()
{
    if (!GetModuleHandleA("QuorviaAddin.dll"))
        return 0;
    LogFileTail log;
    if (ShippedDllCanUnloadNow() == E_UNEXPECTED)
        return -1;
    const std::string line = LastLineWith(log.Read(), "DllCanUnloadNow: ");
    const size_t at = line.find("g_lMyObjects=");
    return at == std::string::npos ? -1 : std::atol(line.c_str() + at + 13);
}

struct Injection
{
    CallSite site;
    unsigned nth = 0; // 0: the clean run
    HRESULT hr = S_OK;
    std::string Name() const { return site.object + "." + site.member + " #" + std::to_string(nth); }
};

// The failure a caller of this member would meet in practice.
HRESULT FittingFailure(const std::string &member)
{
    if (member.compare(0, 14, "QueryInterface") == 0)
        return E_NOINTERFACE;
    if (member == "GetIDsOfNames")
        return DISP_E_UNKNOWNNAME;
    if (member == "FindConnectionPoint" || member == "Unadvise")
        return CONNECT_E_NOCONNECTION;
    if (member == "Advise")
        return CONNECT_E_ADVISELIMIT;
    return E_FAIL;
}

// How one run ended, and whether that end is a safe one.
struct RunOutcome
{
    bool completed = false;     // no exception reached the test
    bool injected = false;      // the chosen call did fail
    std::vector<std::string> ribbonErrors; // what Office would report of the add-in's callbacks
    std::vector<std::string> ribbonRefusals; // arguments turned down, as the callbacks say they do
    bool mainWindowShown = true; // Outlook's main window after the send
    bool sent = false;
    std::optional<std::wstring> sentBody;
    std::wstring bodyLeft;      // the item's body after the run
    bool unfinishedEvent = false;
    bool otherIntact = true;    // the window that was not sent kept its body
    ULONG lastRelease = 0xFFFF;
    size_t advisedSinks = 0;
    bool sinksMayStay = false;  // the host refused an Unadvise, so it keeps that sink
    HRESULT canUnload = E_PENDING;
    long objectsBefore = -1;    // the DLL's live objects before and after the run
    long objectsAfter = -1;
    std::vector<std::string> log;
    std::vector<std::string> dialogs;
    std::vector<CallRecord> calls;

    std::string Verdict() const
    {
        if (!completed)
            return "exception";
        if (!ribbonErrors.empty())
            return "the ribbon reported: " + ribbonErrors.front();
        if (!mainWindowShown)
            return "Outlook's main window was left hidden";
        if (lastRelease != 0)
            return "add-in still referenced (" + std::to_string(lastRelease) + ")";
        if (advisedSinks != 0 && !sinksMayStay)
            return std::to_string(advisedSinks) + " sink(s) still advised";
        if (canUnload != S_OK)
            return "DllCanUnloadNow refused";
        if (objectsBefore < 0 || objectsAfter != objectsBefore)
            return "g_lMyObjects " + std::to_string(objectsBefore) + " before, " + std::to_string(objectsAfter) +
                   " after";
        if (unfinishedEvent)
            return "an event call never returned";
        if (!otherIntact)
            return "the other window's mail changed";
        if (sent) {
            if (!sentBody)
                return "sent without HTMLBody";
            if (*sentBody == kMarkedBody)
                return "";
            if (*sentBody == kBody)
                return "";
            return "sent with a damaged body";
        }
        return bodyLeft == kBody ? "" : "kept with a damaged body";
    }
    std::string Ending() const
    {
        if (!sent)
            return "kept unsent";
        return sentBody && *sentBody == kMarkedBody ? "sent marked" : "sent unchanged";
    }
};

void ResetSettings()
{
    DeleteRegistryTree(HKEY_CURRENT_USER, kAddinVendorKey);
    StoreSetting("login", "ann@example.com");
    StoreSetting("password", "secret");
}

// How the scenario's mail is composed and switched to tracked.
enum class Path
{
    RibbonWindow, // today's Outlook: a compose window, its ribbon toggle
    InlineReply,  // today's Outlook: a reply inline in the main window, the inline tab's toggle
    WordToolbar,  // Outlook 2003: two windows Word edits share one toolbar; the other window's button
};

// One run of the scenario in a fresh Outlook with a fresh add-in object, with
// the injection (if any) armed from the add-in's creation on.
RunOutcome RunScenario(Path path, const Injection &injection)
{
    RunOutcome outcome;
    ResetSettings();
    CallLog::Clear();
    Faults::Clear();
    outcome.objectsBefore = LiveObjectsOfShippedDll();
    outcome.sinksMayStay = injection.nth && injection.site.member == "Unadvise";
    DialogRobot robot;
    LogFileTail log;
    {
        PlayOutlook playing(path == Path::WordToolbar ? Generation::Outlook2003 : Generation::Outlook2016);
        Outlook outlook;
        ComPtr<IDTExtensibility2> addin;
        if (CreateShippedAddin(addin) != S_OK) {
            ADD_FAILURE() << "the shipped add-in could not be created";
            return outcome;
        }
        outlook.Load(addin.Get());
        addin.Reset();
        if (injection.nth)
            Faults::FailNth(injection.site.object, injection.site.member, injection.nth, injection.hr);
        Explorer &main = outlook.MainExplorer();
        MailItem *item = nullptr;
        OutlookWindow *other = nullptr; // Word: a window sharing the bar, left unsent
        try {
            outlook.Start();
            OpenSpec plan;
            plan.compose.to = L"Bob <bob@example.com>";
            plan.compose.cc = L"Carol <carol@example.com>";
            plan.compose.subject = L"Figures";
            plan.compose.html = kBody;
            if (path == Path::InlineReply) {
                ComposedItem *reply = outlook.ReplyInline(main, plan.compose);
                item = reply ? &reply->Item() : nullptr;
                PressTrackingToggle(outlook, main);
                outlook.SendInline(main);
                outcome.mainWindowShown = IsWindowVisible(main.Hwnd());
                outlook.DiscardInline(main);
            } else {
                plan.editor = path == Path::WordToolbar ? Editor::Word : Editor::Outlook;
                if (path == Path::WordToolbar)
                    other = &outlook.Open(plan);
                OutlookWindow &window = outlook.Open(plan);
                item = &window.Item();
                if (path == Path::RibbonWindow) {
                    PressTrackingToggle(outlook, window);
                } else {
                    CommandBarButton *tracking = window.Button(ToolbarButton::Tracking);
                    if (tracking && tracking->Text("Caption") != "Quorvia Message Tracking On")
                        outlook.Click(*other, ToolbarButton::Tracking);
                }
                outlook.Send(window);
                outcome.mainWindowShown = IsWindowVisible(main.Hwnd());
                if (window.IsOpen())
                    outlook.Close(window);
                if (other)
                    outlook.Close(*other);
            }
            // Outlook's loop runs what the add-in left for after the send.
            outlook.Idle();
            // A callback may turn down, with DISP_E_TYPEMISMATCH as it says it
            // does, an argument that does not answer IDispatch.
            for (const std::string &error : outlook.Ribbon().Errors())
                (injection.site.member == "QueryInterface(IDispatch)" &&
                         error.find("failed: DISP_E_TYPEMISMATCH") != std::string::npos
                     ? outcome.ribbonRefusals
                     : outcome.ribbonErrors)
                    .push_back(error);
            outlook.Quit();
            outcome.lastRelease = outlook.ReleaseAddin();
            outcome.completed = true;
        } catch (...) {
            outcome.completed = false;
        }
        Faults::Clear();
        if (item) {
            outcome.sent = item->IsSent();
            if (item->Sent())
                outcome.sentBody = item->Sent()->htmlBody;
            outcome.bodyLeft = item->HtmlBody();
        }
        if (other)
            outcome.otherIntact = !other->Item().IsSent() && other->Item().HtmlBody() == kBody;
        outcome.advisedSinks = outlook.AdvisedSinks();
        if (!outcome.completed)
            outlook.ReleaseAddin();
    }
    // Counted once the host, too, has let go of everything (a sink the host
    // would not disconnect goes with the host's object).
    outcome.canUnload = ShippedDllCanUnloadNow();
    outcome.objectsAfter = LiveObjectsOfShippedDll();
    outcome.log = log.Read();
    outcome.dialogs = robot.Lines();

    CallFilter filter;
    filter.nameLookups = true;
    outcome.calls = CallLog::Records(filter);
    for (const CallRecord &r : outcome.calls) {
        if (r.kind == CallKind::Event && !r.finished)
            outcome.unfinishedEvent = true;
        if (injection.nth && r.object == injection.site.object && r.member == injection.site.member &&
            r.hr == injection.hr)
            outcome.injected = true;
    }
    return outcome;
}

// Every occurrence of every call the add-in made on the host in a run:
// what a fault can be injected into (no reference counting, no events).
std::vector<Injection> InjectionsFrom(const std::vector<CallRecord> &records)
{
    std::vector<Injection> injections;
    std::vector<CallSite> sites;
    for (const CallRecord &r : records) {
        if (r.kind == CallKind::Event || r.kind == CallKind::AddRef || r.kind == CallKind::Release)
            continue;
        CallSite site{r.object, r.member};
        unsigned nth = 1;
        for (const Injection &earlier : injections)
            if (earlier.site == site)
                ++nth;
        injections.push_back(Injection{site, nth, FittingFailure(r.member)});
    }
    return injections;
}

class FaultSweepTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dll.Ok()) << "regsvr32 /s failed";
        ASSERT_TRUE(SUCCEEDED(m_apartment.Result()));
    }
    void TearDown() override { DeleteRegistryTree(HKEY_CURRENT_USER, kAddinVendorKey); }

    RegisteredDll m_dll;
    Apartment m_apartment;
};

// The sweep of one scenario; prints and checks "N of N faults survived".
// Injections named in leftOut ("Explorer.Unadvise #1") are not run: each is a
// fault of the add-in's still to be mended, named where the list is given.
void Sweep(Path path, std::initializer_list<const char *> objectsTouched,
           std::initializer_list<const char *> leftOut = {})
{
    const auto began = std::chrono::steady_clock::now();
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment(kFragment));

    // The clean run: tracked, marked once, nothing asked, everything let go.
    const RunOutcome clean = RunScenario(path, Injection());
    ASSERT_EQ("", clean.Verdict());
    ASSERT_EQ("sent marked", clean.Ending());
    ASSERT_EQ(std::vector<std::string>{}, clean.dialogs);
    ASSERT_EQ(1u, service.Requests().size());
    const size_t threads = ThreadsOfThisProcess();
    const DWORD handles = HandlesOfThisProcess();

    const std::vector<Injection> injections = InjectionsFrom(clean.calls);
    std::vector<CallSite> distinct;
    for (const Injection &i : injections)
        if (i.nth == 1)
            distinct.push_back(i.site);
    // The scenario does touch each kind of host object.
    for (const char *object : objectsTouched) {
        bool seen = false;
        for (const CallSite &site : distinct)
            seen = seen || site.object == object;
        EXPECT_TRUE(seen) << object;
    }
    std::printf("[ sweep ] %zu distinct calls, %zu occurrences\n", distinct.size(), injections.size());

    size_t survived = 0;
    std::vector<std::string> failures;
    for (const char *name : leftOut) {
        bool made = false;
        for (const Injection &i : injections)
            made = made || i.Name() == name;
        EXPECT_TRUE(made) << name << " is left out but no longer made: the list needs its numbering again";
        std::printf("[ left out ] %s\n", name);
    }
    size_t run = 0;
    for (const Injection &injection : injections) {
        if (std::find(leftOut.begin(), leftOut.end(), injection.Name()) != leftOut.end())
            continue;
        ++run;
        // Named before it runs, so a run that brings the process down is known.
        std::string line = injection.Name() + " -> " + HResultText(injection.hr) + ": ";
        std::printf("[ fault ] %s", line.c_str());
        std::fflush(stdout);
        const RunOutcome run = RunScenario(path, injection);
        std::string verdict = run.Verdict();
        if (verdict.empty() && !run.injected)
            verdict = "the call was not made, or did not fail";
        line = run.Ending();
        for (const std::string &dialog : run.dialogs)
            line += "; box " + dialog;
        for (const std::string &refusal : run.ribbonRefusals)
            line += "; ribbon " + refusal;
        if (verdict.empty()) {
            ++survived;
        } else {
            line += "  FAILED: " + verdict;
            failures.push_back(injection.Name() + ": " + verdict);
            // The add-in's own account of the run, for whoever looks into it.
            for (const std::string &logged : run.log)
                line += "\n    | " + logged;
        }
        std::printf("%s\n", line.c_str());
    }

    // Nothing piled up over all the runs: the threads of the add-in ended,
    // its handles were closed (a small allowance for Wine's own).
    ProcessFootprint before;
    before.threads = threads;
    EXPECT_EQ(threads, before.ThreadsAfterSettling());
    EXPECT_LE(HandlesOfThisProcess(), handles + 8);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%zu of %zu faults survived (%.1f s; %zu left out)\n", survived, run, seconds, leftOut.size());
    EXPECT_EQ(run, survived);
    EXPECT_EQ(std::vector<std::string>{}, failures);
}

} // namespace

// Today's Outlook: the add-in's ribbons load (the main window's at start-up,
// the compose window's with the window) and the window's toggle switches it on.
TEST_F(FaultSweepTest, EveryHostCallOfTheMainScenarioCanFailAndTheRunStillEndsSafely)
{
    Sweep(Path::RibbonWindow,
          {"Application", "Inspectors", "Inspector", "Explorers", "Explorer", "MailItem", "Message", "ComposeRibbonUI",
           "ExplorerRibbonUI", "RibbonControl"});
}

// A reply composed inline in the main window: no Inspector, the main window's
// own inline response tab, and nothing hidden.
TEST_F(FaultSweepTest, EveryHostCallOfAnInlineReplyCanFailAndTheRunStillEndsSafely)
{
    Sweep(Path::InlineReply,
          {"Application", "Explorers", "Explorer", "MailItem", "Message", "ExplorerRibbonUI", "RibbonControl"});
}

// Two windows Word 2003 edits share one bar and one pair of handlers, whose
// references the windows and their tracked items share as well.
TEST_F(FaultSweepTest, EveryHostCallWithTwoWordWindowsSharingTheirButtonsCanFailAndTheRunStillEndsSafely)
{
    Sweep(Path::WordToolbar, {"Application", "Inspectors", "Inspector", "MailItem", "Message", "CommandBars",
                              "Quorvia", "Quorvia.Controls", "Button1", "Button2", "WordDocument", "WordTemplate"});
}
