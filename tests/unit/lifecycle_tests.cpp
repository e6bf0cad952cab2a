// The add-in's life in the stand-in Outlook: start-up (the stored account,
// the question while it is incomplete, the setup dialog, late connection,
// the steps that fail), the interface Outlook sees, switching off, shutdown
// with and without Outlook's shutdown calls, and a whole pass from start to
// a tracked send and quit.
#include "OutlookTestSupport.h"

#include "com/Guids.h"
#include "host/Text.h"
#include "host/TrackingService.h"

#include <mapix.h>

using namespace host;
using namespace test;

namespace {

const char kAccountPrompt[] = "You need to configure your Quorvia account in order to use Quorvia Tracking "
                              "capability.\nClick \"Yes\" to configure now or \"No\" to configure later.";
const char kApplicationIid[] = "{00063001-0000-0000-C000-000000000046}";

enum : int
{
    kLoginField = 107,
    kPasswordField = 108,
};

// The lines of a start-up that finds a complete account or asks for one: the
// question and the dialog log nothing.
Lines StartupLines()
{
    return Joined({{"OnConnection processing"}, RibbonLoaded(),
                   {"OnStartupComplete processing", "Application Name = Outlook"}, SinksOfStartup()});
}

// The add-in's sinks let go at shutdown, from a count of g_lMyObjects =
// objects: the application's, the inspectors' and, in today's Outlook, the
// explorers'.
Lines SinksReleased(long objects)
{
    Lines lines = Joined({SinkDisconnects("CApplicationEventHandler"), SinkDisconnects("CInspectorsCollectionEventHandler"),
                          {Count("~CInspectorsCollectionEventHandler, g_lMyObjects=", objects - 2)}});
    if (PlaysOutlook2003())
        return lines;
    return Joined({lines, SinkDisconnects("CExplorersEventHandler"),
                   {Count("~CExplorersEventHandler, g_lMyObjects=", objects - 3)}});
}

// Today's Outlook closes its main window as it quits: the add-in stops
// following it there, from a count of g_lMyObjects = objects.
Lines MainWindowClosed(long objects)
{
    if (PlaysOutlook2003())
        return {};
    return Joined({{"Explorer Event: Close (F008)", "CExplorerEventHandler::AddRef : count=2",
                    "CExplorerEventHandler::Release : count=1"},
                   SinkDisconnects("CExplorerEventHandler"),
                   {Count("~CExplorerEventHandler, g_lMyObjects=", objects - 1)}});
}

using LifecycleTest = OutlookTest;

} // namespace

// --- start-up ----------------------------------------------------------------------------

TEST_F(LifecycleTest, StartupAsksForTheAccountOnlyWhileItIsIncomplete)
{
    struct Step
    {
        bool dialog;          // false: the question
        int answer;           // IDYES/IDNO, or IDOK/IDCANCEL for the dialog
        const char *password; // typed into the dialog before Ok
    };
    struct Case
    {
        const char *what;
        const char *login;    // stored; null: nothing stored
        const char *password; // stored; null: nothing stored
        std::vector<Step> steps;
        std::string finalLogin;
        std::string finalPassword;
    };
    const std::string longLogin(999, 'l');
    const std::string longPassword = std::string(998, 'p') + "!";
    const Case cases[] = {
        {"account stored", "ann@example.com", "secret", {}, "ann@example.com", "secret"},
        {"999 characters each", longLogin.c_str(), longPassword.c_str(), {}, longLogin, longPassword},
        {"only the login, No", "ann@example.com", nullptr, {{false, IDNO, nullptr}}, "ann@example.com", ""},
        {"an empty password, No", "ann@example.com", "", {{false, IDNO, nullptr}}, "ann@example.com", ""},
        {"nothing stored, No", nullptr, nullptr, {{false, IDNO, nullptr}}, "", ""},
        {"only the login, Yes, Ok with both",
         "ann@example.com",
         nullptr,
         {{false, IDYES, nullptr}, {true, IDOK, "typed secret"}},
         "ann@example.com",
         "typed secret"},
        {"Ok with the password still empty asks again",
         "ann@example.com",
         nullptr,
         {{false, IDYES, nullptr}, {true, IDOK, ""}, {false, IDNO, nullptr}},
         "ann@example.com",
         ""},
        {"Cancel asks again",
         "ann@example.com",
         nullptr,
         {{false, IDYES, nullptr}, {true, IDCANCEL, nullptr}, {false, IDYES, nullptr}, {true, IDOK, "pw2"}},
         "ann@example.com",
         "pw2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // Each case in an Outlook and an add-in of its own.
        TearDown();
        SetUp();
        if (c.login)
            StoreString("login", c.login);
        if (c.password)
            StoreString("password", c.password);
        DialogRobot &robot = Robot();
        for (const Step &step : c.steps) {
            if (!step.dialog) {
                robot.Expect(kCaption, step.answer);
                continue;
            }
            const char *typed = step.password;
            const int answer = step.answer;
            robot.Expect(kCaption, [typed, answer](HWND dialog) {
                if (typed)
                    SetDlgItemTextA(dialog, kPasswordField, typed);
                return answer;
            });
        }
        CallLog::Clear();
        LogTail log;
        // Outlook's start-up is over before anything is asked.
        EXPECT_EQ(S_OK, outlook->Start());
        EXPECT_TRUE(robot.Dialogs().empty());
        outlook->Idle();
        EXPECT_TRUE(robot.WaitForDialogs(c.steps.size(), 10000));
        const std::vector<DialogRecord> shown = robot.Dialogs();
        ASSERT_EQ(c.steps.size(), shown.size());
        for (size_t i = 0; i < shown.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(c.steps[i].answer, shown[i].answer);
            if (c.steps[i].dialog) {
                EXPECT_EQ(static_cast<UINT>(MB_OKCANCEL), shown[i].buttons);
                continue;
            }
            EXPECT_EQ(kAccountPrompt, shown[i].text);
            EXPECT_EQ(static_cast<UINT>(MB_YESNO), shown[i].buttons);
            EXPECT_EQ(static_cast<UINT>(MB_ICONEXCLAMATION), shown[i].icon);
        }
        EXPECT_EQ(StartupLines(), log.Read());
        ASSERT_TRUE(g_pAddin);
        EXPECT_EQ(c.finalLogin, AnsiFromWide(g_pAddin->Login().c_str()));
        EXPECT_EQ(c.finalPassword, AnsiFromWide(g_pAddin->Password().c_str()));
        // The start-up asks the Application for these, through no other interface.
        EXPECT_EQ((Lines{"Application.GetNamespace(VT_BSTR \"MAPI\") -> S_OK", "Application.Name -> S_OK",
                         "Application.Version -> S_OK", "Application.Inspectors -> S_OK",
                         "Application.Explorers -> S_OK"}),
                  [] {
                      Lines calls;
                      for (const CallRecord &r : CallLog::Records(CallFilter::Of("Application")))
                          if (r.kind == CallKind::Get || r.kind == CallKind::Method)
                              calls.push_back(r.Line());
                      return calls;
                  }());
        EXPECT_EQ(StartupObjects(), g_lMyObjects);
    }
}

// The question waits for Outlook's loop; an add-in let go before that (switched
// off, or Outlook quitting at once) asks nothing and leaves nothing.
TEST_F(LifecycleTest, AQuestionNotYetAskedGoesWithTheAddin)
{
    for (bool switchedOff : {true, false}) {
        SCOPED_TRACE(switchedOff ? "switched off" : "quit and released");
        TearDown();
        SetUp();
        EXPECT_EQ(S_OK, outlook->ConnectLate());
        if (switchedOff) {
            EXPECT_EQ(S_OK, outlook->SwitchOff());
        } else {
            outlook->Quit(Outlook::Shutdown::Fast);
            EXPECT_EQ(0u, outlook->ReleaseAddin());
        }
        outlook->Idle();
        EXPECT_TRUE(Robot().Dialogs().empty());
        EXPECT_EQ(0, g_lMyObjects);
    }
}

TEST_F(LifecycleTest, ConnectingLaterRunsTheStartupAtOnceAndAtOutlooksStartWaitsForIt)
{
    struct Case
    {
        const char *what;
        ext_ConnectMode mode;
        bool startsAtOnce;
    };
    const Case cases[] = {
        {"after start-up", ext_cm_AfterStartup, true},
        {"at Outlook's start", ext_cm_Startup, false},
        {"external", ext_cm_External, true},
        {"command line", ext_cm_CommandLine, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        StoreString("login", "ann@example.com");
        StoreString("password", "secret");
        CallLog::Clear();
        LogTail log;
        EXPECT_EQ(S_OK, outlook->Connect(&outlook->App(), c.mode));
        // Office asks for the ribbon once OnConnection has returned, whatever it did.
        if (c.startsAtOnce) {
            EXPECT_EQ(Joined({{"OnConnection processing", "OnStartupComplete processing", "Application Name = Outlook"},
                              SinksOfStartup(), RibbonLoaded()}),
                      log.Read());
            EXPECT_EQ(StartupObjects(), g_lMyObjects);
        } else {
            EXPECT_EQ(Joined({{"OnConnection processing"}, RibbonLoaded()}), log.Read());
            EXPECT_EQ((Lines{"Ribbon => Addin.QueryInterface(IRibbonExtensibility) -> S_OK",
                             "Ribbon => Addin.GetCustomUI(VT_BSTR \"Microsoft.Outlook.Explorer\") -> S_OK",
                             "Ribbon => Addin.OnRibbonLoad(VT_DISPATCH) -> S_OK",
                             "ExplorerRibbonUI.QueryInterface(IDispatch) -> S_OK"}),
                      CallLog::Lines());
            EXPECT_EQ(0, g_lMyObjects);
        }
        // The Application is held from now on.
        EXPECT_EQ(c.startsAtOnce ? 3u : 2u, outlook->App().RefCount());
    }
}

TEST_F(LifecycleTest, ANullApplicationIsRefusedAndChangesNothing)
{
    StoreString("login", "ann@example.com");
    StoreString("password", "secret");
    for (ext_ConnectMode mode : {ext_cm_Startup, ext_cm_AfterStartup}) {
        SCOPED_TRACE(mode);
        CallLog::Clear();
        LogTail log;
        EXPECT_EQ(E_POINTER, outlook->Connect(nullptr, mode));
        EXPECT_EQ(Lines{}, log.Read());
        EXPECT_EQ(Lines{}, CallLog::Lines());
        EXPECT_EQ(0, g_lMyObjects);
        ASSERT_TRUE(g_pAddin);
        EXPECT_EQ(L"", g_pAddin->Login());
    }
    // Without an Application the start-up has nothing to work on.
    LogTail log;
    SAFEARRAY *custom = nullptr;
    EXPECT_EQ(S_OK, outlook->Addin()->OnStartupComplete(&custom));
    EXPECT_EQ(Lines{"OnStartupComplete processing"}, log.Read());
    EXPECT_EQ(0, g_lMyObjects);
    EXPECT_EQ(1u, outlook->App().RefCount());
}

TEST_F(LifecycleTest, TheAddinAnswersOnlyItsOwnInterfacesAndNoAutomation)
{
    IDTExtensibility2 *addin = outlook->Addin();
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, addin->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
    UINT count = 7;
    EXPECT_EQ(E_FAIL, addin->GetTypeInfoCount(&count));
    ITypeInfo *info = nullptr;
    EXPECT_EQ(E_FAIL, addin->GetTypeInfo(0, 0, &info));
    // Its names are the ribbon's callbacks, nothing of IDTExtensibility2's.
    LPOLESTR name = const_cast<LPOLESTR>(L"OnConnection");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, addin->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    EXPECT_EQ(DISPID_UNKNOWN, id);

    struct Case
    {
        const IID *iid;
        HRESULT result;
    };
    for (const Case &c : {Case{&IID_IDTExtensibility2, S_OK}, Case{&IID_IDispatch, S_OK}, Case{&IID_IUnknown, S_OK},
                          Case{&IID_IRibbonExtensibility, S_OK}, Case{&IID_IClassFactory, E_NOINTERFACE},
                          Case{&DIID_ApplicationEvents, E_NOINTERFACE}}) {
        void *out = reinterpret_cast<void *>(1);
        EXPECT_EQ(c.result, addin->QueryInterface(*c.iid, &out));
        if (c.iid == &IID_IRibbonExtensibility) {
            // Another face of the same object.
            IUnknown *identity = nullptr;
            static_cast<IUnknown *>(out)->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity));
            EXPECT_EQ(static_cast<IUnknown *>(addin), identity);
            identity->Release();
            static_cast<IUnknown *>(out)->Release();
        } else if (SUCCEEDED(c.result)) {
            EXPECT_EQ(static_cast<void *>(addin), out);
            static_cast<IUnknown *>(out)->Release();
        } else {
            EXPECT_EQ(nullptr, out);
        }
    }
    EXPECT_EQ(E_POINTER, addin->QueryInterface(IID_IUnknown, nullptr));

    LogTail log;
    SAFEARRAY *custom = nullptr;
    EXPECT_EQ(S_OK, addin->OnAddInsUpdate(&custom));
    EXPECT_EQ(Lines{"OnAddInsUpdate processing"}, log.Read());
}

TEST_F(LifecycleTest, AStartupStepThatFailsIsLoggedAndTheRestGoesOn)
{
    const std::string failure = std::string(": hr=0x80004005, interface ") + kApplicationIid;
    const Lines head = Joined({{"OnConnection processing"}, RibbonLoaded(), {"OnStartupComplete processing"}});
    const Lines appAndInspectors = Joined({LoopSinkConnects("CApplicationEventHandler"),
                                           {"CInspectorsCollectionEventHandler, g_lMyObjects=2"},
                                           LoopSinkConnects("CInspectorsCollectionEventHandler")});
    struct Case
    {
        const char *member;
        Lines log;
        long objects;
        unsigned namespaceReferences; // held by Outlook, and by the add-in when it got it
    };
    const Case cases[] = {
        {"GetNamespace",
         Joined({head, {"GetNamespace failed" + failure, "Application Name = Outlook"}, SinksOfStartup()}), 4, 1},
        {"Name", Joined({head, {"Application Name failed" + failure}, SinksOfStartup()}), 4, 2},
        // Taken for today's Outlook.
        {"Version",
         Joined({head, {"Application Name = Outlook", "Application Version failed" + failure}, SinksOfStartup()}), 4,
         2},
        {"Inspectors",
         Joined({head, {"Application Name = Outlook"}, LoopSinkConnects("CApplicationEventHandler"),
                 {"Inspectors failed" + failure}, ExplorerSinksConnect(1)}),
         3, 2},
        {"Explorers",
         Joined({head, {"Application Name = Outlook"}, appAndInspectors, {"Explorers failed" + failure}}), 2, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.member);
        TearDown();
        SetUp();
        StoreString("login", "ann@example.com");
        StoreString("password", "secret");
        Faults::Fail("Application", c.member, E_FAIL);
        LogTail log;
        EXPECT_EQ(S_OK, outlook->Start());
        EXPECT_EQ(c.log, log.Read());
        EXPECT_EQ(c.objects, g_lMyObjects);
        EXPECT_EQ(c.namespaceReferences, outlook->App().MapiNamespace().RefCount());
        Faults::Clear();
        // Windows are equipped only while the inspectors are heard: a window
        // sink, its tracked item and its item sink.
        OutlookWindow &window = outlook->Open();
        const bool heard = std::string(c.member) != "Inspectors";
        EXPECT_EQ(c.objects + (heard ? 3 : 0), g_lMyObjects);
        EXPECT_TRUE(outlook->Close(window));
        EXPECT_EQ(c.objects, g_lMyObjects);
    }
}

TEST_F(LifecycleTest, SinksThatCouldNotConnectAreStillReleasedAtShutdown)
{
    for (const char *object : {"Application", "Inspectors", "Explorers"}) {
        SCOPED_TRACE(object);
        TearDown();
        SetUp();
        StoreString("login", "ann@example.com");
        StoreString("password", "secret");
        Faults::Fail(object, "QueryInterface(IConnectionPointContainer)", E_NOINTERFACE);
        EXPECT_EQ(S_OK, outlook->Start());
        EXPECT_EQ(4, g_lMyObjects);
        Faults::Clear();
        // Nobody hears this window, so it gets nothing.
        OutlookWindow &window = outlook->Open();
        EXPECT_EQ(std::string(object) == "Inspectors" ? 4 : 7, g_lMyObjects);
        EXPECT_TRUE(outlook->Close(window));
        LogTail log;
        outlook->Quit();
        const Lines lines = log.Read();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ("CAddin::raw_OnBeginShutdown done, g_lMyObjects = 0", lines[lines.size() - 2]);
        EXPECT_EQ(0, g_lMyObjects);
    }
}

TEST_F(LifecycleTest, AFailingMapiLogonLeavesTheStartupAndShutdownAlone)
{
    // Wine's MAPI has no profiles: the logon the start-up makes fails.
    IMAPISession *session = nullptr;
    EXPECT_TRUE(FAILED(MAPILogonEx(0, const_cast<LPTSTR>(""), const_cast<LPTSTR>(""), 0, &session)));
    EXPECT_EQ(nullptr, session);

    StoreString("login", "ann@example.com");
    StoreString("password", "secret");
    LogTail log;
    EXPECT_EQ(S_OK, outlook->Start());
    outlook->Quit();
    EXPECT_EQ(Joined({StartupLines(), MainWindowClosed(4),
                      {"Application Event: Quit (F007)", "OnBeginShutdown processing"},
                      SinksReleased(3),
                      {"CAddin::raw_OnBeginShutdown done, g_lMyObjects = 0", "OnDisconnection processing"}}),
              log.Read());
}

// --- switching off and shutting down ----------------------------------------------------------

// Switched off while a compose window and an inline reply are open, the
// add-in lets go of both: it would otherwise keep sinks Outlook calls into, in
// a library Outlook may unload. In Outlook 2003 the window's bar goes out of
// sight.
TEST_F(LifecycleTest, SwitchedOffByTheUserTheAddinLetsGoOfEverythingItsOpenWindowsIncluded)
{
    StartWithAccount();
    OutlookWindow &window = outlook->Open();
    ASSERT_TRUE(outlook->ReplyInline(outlook->MainExplorer()));
    EXPECT_EQ(9, g_lMyObjects);

    LogTail log;
    EXPECT_EQ(S_OK, outlook->SwitchOff());
    const Lines lines = log.Read();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ((Lines{"OnDisconnection processing", "OnBeginShutdown processing"}), Lines(lines.begin(), lines.begin() + 2));
    EXPECT_EQ((Lines{"~CItemHandler, g_lMyObjects=8", "~CMailItem, g_lMyObjects=7",
                     "~CInspectorEventHandler, g_lMyObjects=6", "~CItemHandler, g_lMyObjects=5",
                     "~CMailItem, g_lMyObjects=4", "~CExplorerEventHandler, g_lMyObjects=3",
                     "~CInspectorsCollectionEventHandler, g_lMyObjects=1", "~CExplorersEventHandler, g_lMyObjects=0",
                     "CAddin::raw_OnBeginShutdown done, g_lMyObjects = 0"}),
              Lifetimes(lines));
    EXPECT_EQ(0, g_lMyObjects);
    EXPECT_EQ(0u, outlook->AdvisedSinks());
    EXPECT_EQ(1u, outlook->App().RefCount());
    // The NameSpace is held until the add-in object goes.
    EXPECT_EQ(2u, outlook->App().MapiNamespace().RefCount());

    // A window opened now gets nothing, and the open ones close cleanly.
    outlook->Open();
    EXPECT_TRUE(outlook->Close(window));
    EXPECT_TRUE(outlook->DiscardInline(outlook->MainExplorer()));
    EXPECT_EQ(0, g_lMyObjects);
    EXPECT_EQ(0u, outlook->ReleaseAddin());
    EXPECT_EQ(nullptr, g_pAddin);
    EXPECT_EQ(1u, outlook->App().MapiNamespace().RefCount());

    PlayOutlook2003();
    StartWithAccount();
    OutlookWindow &old = outlook->Open();
    EXPECT_EQ(S_OK, outlook->SwitchOff());
    EXPECT_EQ(0, g_lMyObjects);
    ASSERT_TRUE(old.QuorviaBar());
    EXPECT_EQ(0, old.QuorviaBar()->Value("Visible").Get()->boolVal);
    // Its buttons do nothing now.
    EXPECT_EQ(S_OK, outlook->Click(old, ToolbarButton::Tracking));
    EXPECT_EQ("Quorvia Message Tracking Off", old.Button(ToolbarButton::Tracking)->Text("Caption"));
    EXPECT_TRUE(outlook->Close(old));
}

TEST_F(LifecycleTest, AtOutlooksShutdownTheWindowsCloseThenTheAddinLetsGoInOrder)
{
    StartWithAccount();
    outlook->Open();
    LogTail log;
    outlook->Quit();
    EXPECT_EQ(Joined({{"MailItem Event: Close (F004)", "Inspector Event: Close (F008)"},
                      {"~CItemHandler, g_lMyObjects=6", "~CMailItem, g_lMyObjects=5",
                       "~CInspectorEventHandler, g_lMyObjects=4", "Explorer Event: Close (F008)",
                       "~CExplorerEventHandler, g_lMyObjects=3", "Application Event: Quit (F007)"},
                      {"~CInspectorsCollectionEventHandler, g_lMyObjects=1", "~CExplorersEventHandler, g_lMyObjects=0",
                       "CAddin::raw_OnBeginShutdown done, g_lMyObjects = 0"}}),
              Lifetimes(log.Read()));
    const Lines lines = log.Read();
    const Lines tail = {"Application Event: Quit (F007)", "OnBeginShutdown processing"};
    auto quit = std::find(lines.begin(), lines.end(), tail[0]);
    ASSERT_NE(lines.end(), quit);
    EXPECT_EQ(Joined({tail, SinksReleased(3),
                      {"CAddin::raw_OnBeginShutdown done, g_lMyObjects = 0", "OnDisconnection processing"}}),
              Lines(quit, lines.end()));
    EXPECT_EQ(1u, outlook->App().RefCount());
    EXPECT_EQ(0u, outlook->AdvisedSinks());

    LogTail release;
    EXPECT_EQ(0u, outlook->ReleaseAddin());
    EXPECT_EQ(Lines{}, release.Read());
    EXPECT_EQ(nullptr, g_pAddin);
    EXPECT_EQ(1u, outlook->App().MapiNamespace().RefCount());
}

TEST_F(LifecycleTest, AfterAFastShutdownTheLastReleaseLeavesNothingConnected)
{
    StartWithAccount();
    OutlookWindow &window = outlook->Open(OpenSpec());
    (void)window;
    LogTail log;
    outlook->Quit(Outlook::Shutdown::Fast);
    // No OnBeginShutdown, no OnDisconnection: the add-in is still connected.
    const Lines lines = log.Read();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Application Event: Quit (F007)", lines.back());
    EXPECT_EQ(3u, outlook->AdvisedSinks());
    EXPECT_EQ(3, g_lMyObjects);

    LogTail release;
    EXPECT_EQ(0u, outlook->ReleaseAddin());
    EXPECT_EQ(SinksReleased(3), release.Read());
    EXPECT_EQ(0u, outlook->AdvisedSinks());
    EXPECT_EQ(0, g_lMyObjects);
    EXPECT_EQ(nullptr, g_pAddin);
    EXPECT_EQ(1u, outlook->App().RefCount());
    EXPECT_EQ(1u, outlook->App().MapiNamespace().RefCount());
}

// --- a whole pass ---------------------------------------------------------------------------------

TEST_F(LifecycleTest, StartComposeSwitchTrackingOnSendCloseAndQuit)
{
    const std::string fragment = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/7\">";
    TrackingService service;
    ASSERT_TRUE(service.Listening());
    service.SetAnswer(Answer::Fragment(fragment));
    StartWithAccount();

    OpenSpec plan;
    plan.compose.to = L"bob@example.com";
    plan.compose.subject = L"Lunch";
    plan.compose.html = L"<html><body>See you</body></html>";
    OutlookWindow &window = outlook->Open(plan);
    ASSERT_TRUE(outlook->RibbonState(window, "QuorviaTracking"));
    EXPECT_FALSE(outlook->RibbonState(window, "QuorviaTracking")->pressed);
    EXPECT_EQ(S_OK, outlook->ClickRibbon(window, "QuorviaTracking"));
    EXPECT_TRUE(outlook->RibbonState(window, "QuorviaTracking")->pressed);

    LogTail log;
    EXPECT_TRUE(outlook->Send(window));
    EXPECT_FALSE(window.IsOpen());
    ASSERT_EQ(1u, service.Requests().size());
    TrackingForm form;
    ASSERT_TRUE(DecodeTrackingForm(service.Requests()[0].body, form));
    EXPECT_EQ("ann@example.com", form.login);
    EXPECT_EQ("secret", form.password);
    EXPECT_EQ("bob@example.com", form.to);
    EXPECT_EQ("Lunch", form.subj);
    // Marked exactly once, just before the closing body tag.
    ASSERT_TRUE(window.Item().Sent().has_value());
    ASSERT_TRUE(window.Item().Sent()->htmlBody.has_value());
    const std::wstring wideFragment(fragment.begin(), fragment.end());
    EXPECT_EQ(L"<html><body>See you" + wideFragment + L"</body></html>", *window.Item().Sent()->htmlBody);
    // The send (the item's Send, then Outlook's ItemSend), then the window's close gave back everything.
    const Lines lifetimes = Lifetimes(log.Read());
    ASSERT_FALSE(lifetimes.empty());
    EXPECT_EQ("MailItem Event: Send (F005)", lifetimes.front());
    EXPECT_EQ(1, std::count(lifetimes.begin(), lifetimes.end(), "Application Event: ItemSend (F002)"));
    EXPECT_EQ("~CInspectorEventHandler, g_lMyObjects=4", lifetimes.back());
    EXPECT_EQ(4, g_lMyObjects);

    outlook->Quit();
    EXPECT_EQ(0u, outlook->ReleaseAddin());
    EXPECT_EQ(0u, outlook->AdvisedSinks());
    EXPECT_EQ(nullptr, g_pAddin);
    EXPECT_TRUE(Robot().Dialogs().empty());
}
