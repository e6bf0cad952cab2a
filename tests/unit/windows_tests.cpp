// Mail windows in the stand-in Outlook with the add-in running: the switch
// and ribbon toggle each compose window of today's Outlook gets, the bar and
// buttons of Outlook 2003's windows and the pair its Word windows share, the windows that get nothing, the window events, the template Word
// 2003 is told is saved, a window equipped at its first Activate, and every
// failure while a window is equipped. Whatever happens, a closed window leaves
// g_lMyObjects where it was before the window opened.
#include "OutlookTestSupport.h"

#include "buttons/ButtonHandler.h"
#include "com/Guids.h"
#include "host/Text.h"

using namespace host;
using namespace test;

namespace {

const char kInspectorIid[] = "{00063005-0000-0000-C000-000000000046}";

class WindowsTest : public OutlookTest
{
protected:
    void SetUp() override
    {
        OutlookTest::SetUp();
        StartWithAccount();
    }

    static OpenSpec Word()
    {
        OpenSpec plan;
        plan.editor = Editor::Word;
        return plan;
    }

    // Closes the window and checks that everything the add-in made for it went.
    void CloseAndExpectNothingLeft(OutlookWindow &window, long objectsBefore)
    {
        EXPECT_TRUE(outlook->Close(window));
        EXPECT_EQ(objectsBefore, g_lMyObjects);
        EXPECT_EQ(0u, window.Window().Events().SinkCount());
        EXPECT_EQ(0u, window.Item().Events().SinkCount());
    }
};

// The host calls a new plain window's toolbar makes, up to the buttons.
Lines BarCalls(bool existing)
{
    if (existing)
        return {"CommandBars.Item(VT_BSTR \"Quorvia\") -> S_OK", "Quorvia.Visible = VT_BOOL -1 -> S_OK"};
    return {"CommandBars.Item(VT_BSTR \"Quorvia\") -> E_INVALIDARG",
            "CommandBars.Add(VT_BSTR \"Quorvia\", missing, missing, VT_I2 -1) -> S_OK",
            "Quorvia.Position = VT_I4 1 -> S_OK", "Quorvia.RowIndex = VT_I4 -1 -> S_OK",
            "Quorvia.Visible = VT_BOOL -1 -> S_OK"};
}

Lines CallsOn(std::initializer_list<const char *> objects)
{
    Lines lines;
    for (const CallRecord &record : CallLog::Records())
        for (const char *object : objects)
            if (record.object == object)
                lines.push_back(record.Line());
    return lines;
}

} // namespace

// --- a compose window ------------------------------------------------------------

// Outlook 2003, which shows no ribbon: the window's toolbar is the add-in's UI.
TEST_F(WindowsTest, AComposeWindowGetsItsBarItsOwnButtonsATrackedItemAndAnItemSink)
{
    PlayOutlook2003();
    struct Case
    {
        const char *what;
        bool barExists;
    };
    for (const Case c : {Case{"bar added", false}, Case{"bar found", true}}) {
        SCOPED_TRACE(c.what);
        OpenSpec plan;
        if (c.barExists)
            plan.existingBars = {"Quorvia"};
        CallLog::Clear();
        LogTail log;
        OutlookWindow &window = outlook->Open(plan);

        EXPECT_EQ(S_OK, outlook->LastNewInspectorResult());
        EXPECT_EQ(Joined({InspectorSinkConnects(2), ButtonHandlerMade(4), ButtonHandlerMade(5), TrackedItemMade(5),
                          {"Inspector Event: Activate (F001)"}}),
                  log.Read());
        EXPECT_EQ(7, g_lMyObjects);
        // The bar: found or added at the top in the last row, shown.
        const Lines bar = CallsOn({"CommandBars", "Quorvia"});
        const Lines expectedBar = BarCalls(c.barExists);
        ASSERT_GE(bar.size(), expectedBar.size());
        EXPECT_EQ(expectedBar, Lines(bar.begin(), bar.begin() + expectedBar.size()));
        ASSERT_EQ(1u, window.Bars().Bars().size());
        CommandBar *quorvia = window.QuorviaBar();
        ASSERT_TRUE(quorvia);
        EXPECT_EQ(!c.barExists, quorvia->Temporary());
        EXPECT_EQ(-1, quorvia->Value("Visible").Get()->boolVal);
        EXPECT_EQ(1, quorvia->Value("Position").Get()->lVal);
        EXPECT_EQ(c.barExists ? 0 : -1, quorvia->Value("RowIndex").Get()->lVal);
        // Its own two buttons, each heard by one handler; not the shared pair.
        ASSERT_EQ(2u, quorvia->Buttons().size());
        CommandBarButton *tracking = window.Button(ToolbarButton::Tracking);
        CommandBarButton *setup = window.Button(ToolbarButton::Setup);
        ASSERT_TRUE(tracking && setup);
        EXPECT_EQ("Quorvia Message Tracking Off", tracking->Text("Caption"));
        EXPECT_EQ("Setup", setup->Text("Caption"));
        EXPECT_TRUE(tracking->IsVisible()); // the account is complete
        EXPECT_EQ(1u, tracking->Events().SinkCount());
        EXPECT_EQ(1u, setup->Events().SinkCount());
        EXPECT_EQ(nullptr, CInspectorEventHandler::WordEditorButton(0));
        EXPECT_EQ(nullptr, CInspectorEventHandler::WordEditorButton(1));
        // The window's Inspector and its item each have the add-in's one sink.
        EXPECT_EQ(1u, window.Window().Events().SinkCount());
        EXPECT_EQ(1u, window.Item().Events().SinkCount());

        // Close: the item's Close, then the Inspector's; released in the order
        // buttons, item sink, tracked item.
        CallLog::Clear();
        LogTail closing;
        CloseAndExpectNothingLeft(window, StartupObjects());
        EXPECT_EQ(Joined({{"MailItem Event: Close (F004)", "Inspector Event: Close (F008)"},
                          SinkDisconnects("CInspectorEventHandler"),
                          {"CInspectorEventHandler::Cleanup"},
                          ButtonHandlerDisconnects(),
                          {"~CButtonHandler, g_lMyObjects=6"},
                          ButtonHandlerDisconnects(),
                          {"~CButtonHandler, g_lMyObjects=5"},
                          SinkDisconnects("CItemHandler"),
                          {"~CItemHandler, g_lMyObjects=4", "CMailItem::Release : count=0", "CMailItem destructor",
                           "~CMailItem, g_lMyObjects=3", "~CInspectorEventHandler, g_lMyObjects=2"}}),
                  closing.Read());
        // Today's Word keeps no template of the add-in's bars: nothing to mark,
        // and its document, which NewInspector cannot have, is never asked for.
        EXPECT_EQ((Lines{"MailItem => ItemEvents 0xF004(VT_BOOL|VT_BYREF 0) -> S_OK",
                         "Inspector => InspectorEvents 0xF008() -> S_OK",
                         "Inspector.Unadvise(InspectorEvents, 1) -> S_OK",
                         "Button1.Unadvise(_CommandBarButtonEvents, 1) -> S_OK",
                         "Button2.Unadvise(_CommandBarButtonEvents, 1) -> S_OK",
                         "MailItem.Unadvise(ItemEvents, 1) -> S_OK"}),
                  CallLog::Lines());
        // Office took the temporary bar, or the bar's temporary buttons.
        EXPECT_EQ(c.barExists ? 1u : 0u, window.Bars().Bars().size());
        if (c.barExists) {
            EXPECT_TRUE(window.Bars().Bars()[0]->Buttons().empty());
        }
    }
}

TEST_F(WindowsTest, ABarThatExistsIsReusedWhereTheUserPutIt)
{
    PlayOutlook2003();
    // Word's bars keep a permanent "Quorvia" the user moved to the left, second row.
    ComPtr<CommandBar> bar = outlook->WordBars().AddBar("Quorvia");
    bar->SetValue("Position", *Variant::I4(0).Get());
    bar->SetValue("RowIndex", *Variant::I4(2).Get());
    CallLog::Clear();
    OutlookWindow &window = outlook->Open(Word());
    EXPECT_EQ(Lines{"CommandBars.Item(VT_BSTR \"Quorvia\") -> S_OK"}, CallsOn({"CommandBars"}));
    const Lines calls = CallsOn({"Quorvia"});
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ("Quorvia.Visible = VT_BOOL -1 -> S_OK", calls[0]);
    for (const std::string &call : calls) {
        EXPECT_EQ(std::string::npos, call.find("Position")) << call;
        EXPECT_EQ(std::string::npos, call.find("RowIndex")) << call;
    }
    EXPECT_EQ(0, bar->Value("Position").Get()->lVal);
    EXPECT_EQ(2, bar->Value("RowIndex").Get()->lVal);
    EXPECT_EQ(-1, bar->Value("Visible").Get()->boolVal);
    EXPECT_EQ(2u, bar->Buttons().size());
    CloseAndExpectNothingLeft(window, StartupObjects());
    // The bar stays; the buttons, added as temporary, went with the last window.
    EXPECT_EQ(bar.Get(), outlook->WordBars().Find("Quorvia"));
    EXPECT_TRUE(bar->Buttons().empty());
}

// Today's Outlook shows the add-in's ribbon: no window gets a bar, and each
// window's toggle shows and turns that window's own switch.
TEST_F(WindowsTest, TwoComposeWindowsHaveTheirOwnTogglesAndSwitches)
{
    OutlookWindow &first = outlook->Open();
    OutlookWindow &second = outlook->Open();
    EXPECT_EQ(10, g_lMyObjects);
    auto pressed = [this](OutlookWindow &window) {
        const RibbonControlState *toggle = outlook->RibbonState(window, "QuorviaTracking");
        EXPECT_TRUE(toggle && toggle->visible); // the account is complete
        return toggle && toggle->pressed;
    };
    for (OutlookWindow *window : {&first, &second}) {
        EXPECT_TRUE(window->Bars().Bars().empty());
        EXPECT_FALSE(pressed(*window));
    }

    LogTail log;
    EXPECT_EQ(S_OK, outlook->ClickRibbon(first, "QuorviaTracking"));
    // The click brings the first window to the front.
    EXPECT_EQ((Lines{"Inspector Event: Deactivate (F006)", "Inspector Event: Activate (F001)",
                     "Ribbon Callback: OnTrackingToggle (0003)"}),
              log.Read());
    outlook->Idle(); // the ribbon asks again what the toggles show
    EXPECT_TRUE(pressed(first));
    EXPECT_FALSE(pressed(second));

    // A window opened now starts from the last toggle; the open ones keep theirs.
    OutlookWindow &third = outlook->Open();
    EXPECT_TRUE(pressed(third));
    EXPECT_FALSE(pressed(second));

    EXPECT_TRUE(outlook->Close(second));
    EXPECT_EQ(10, g_lMyObjects);
    EXPECT_EQ(S_OK, outlook->ClickRibbon(first, "QuorviaTracking"));
    outlook->Idle();
    EXPECT_FALSE(pressed(first));
    EXPECT_TRUE(pressed(third));
    EXPECT_TRUE(outlook->Close(first));
    CloseAndExpectNothingLeft(third, StartupObjects());
}

// --- windows Word 2003 edits, with the command bars they share ----------------------

TEST_F(WindowsTest, WordEditorWindowsShareOnePairOfHandlersUntilTheLastOneCloses)
{
    PlayOutlook2003();
    LogTail firstLog;
    OutlookWindow &first = outlook->Open(Word());
    EXPECT_EQ(Joined({InspectorSinkConnects(2), ButtonHandlerMade(4), ButtonHandlerMade(5), TrackedItemMade(5),
                      {"Inspector Event: Activate (F001)"}}),
              firstLog.Read());
    ASSERT_TRUE(CInspectorEventHandler::WordEditorButton(0) && CInspectorEventHandler::WordEditorButton(1));
    CButtonHandler *tracking = CInspectorEventHandler::WordEditorButton(0);
    CButtonHandler *setup = CInspectorEventHandler::WordEditorButton(1);
    EXPECT_EQ(1u, tracking->RefCount()); // the button's connection
    EXPECT_EQ(1u, setup->RefCount());

    // The second window finds Word's bar and adds one reference to each handler.
    CallLog::Clear();
    LogTail secondLog;
    OutlookWindow &second = outlook->Open(Word());
    EXPECT_EQ(Joined({InspectorSinkConnects(7),
                      {"CButtonHandler::AddRef : count=2", "CButtonHandler::AddRef : count=2"},
                      TrackedItemMade(8),
                      {"Inspector Event: Deactivate (F006)", "Inspector Event: Activate (F001)"}}),
              secondLog.Read());
    EXPECT_EQ((Lines{"CommandBars.Item(VT_BSTR \"Quorvia\") -> S_OK", "Quorvia.Visible = VT_BOOL -1 -> S_OK"}),
              CallsOn({"CommandBars", "Quorvia", "Quorvia.Controls"}));
    EXPECT_EQ(10, g_lMyObjects);
    EXPECT_EQ(tracking, CInspectorEventHandler::WordEditorButton(0));
    EXPECT_EQ(setup, CInspectorEventHandler::WordEditorButton(1));
    EXPECT_EQ(2u, tracking->RefCount());
    EXPECT_EQ(2u, setup->RefCount());
    ASSERT_EQ(2u, outlook->WordBars().Find("Quorvia")->Buttons().size());
    EXPECT_EQ(first.Button(ToolbarButton::Tracking), second.Button(ToolbarButton::Tracking));

    // One switch for both: the shared button is the one toggle.
    EXPECT_EQ(S_OK, outlook->Click(second, ToolbarButton::Tracking));
    EXPECT_EQ("Quorvia Message Tracking On", first.Button(ToolbarButton::Tracking)->Text("Caption"));

    // Closing the first keeps the pair for the second; Word's bar stays.
    CallLog::Clear();
    LogTail closing;
    EXPECT_TRUE(outlook->Close(first));
    EXPECT_EQ(7, g_lMyObjects);
    EXPECT_EQ((Lines{"MailItem Event: Close (F004)", "Inspector Event: Close (F008)",
                     "~CItemHandler, g_lMyObjects=9", "~CMailItem, g_lMyObjects=8",
                     "~CInspectorEventHandler, g_lMyObjects=7"}),
              Lifetimes(closing.Read()));
    EXPECT_EQ(tracking, CInspectorEventHandler::WordEditorButton(0));
    EXPECT_EQ(setup, CInspectorEventHandler::WordEditorButton(1));
    EXPECT_EQ(1u, tracking->RefCount());
    EXPECT_EQ(1u, setup->RefCount());
    EXPECT_TRUE(outlook->WordBars().Find("Quorvia"));
    // Word would ask to save its template otherwise.
    const Lines closeCalls = CallsOn({"Inspector", "WordDocument", "WordTemplate"});
    ASSERT_GE(closeCalls.size(), 3u);
    EXPECT_EQ((Lines{"Inspector.WordEditor -> S_OK", "WordDocument.AttachedTemplate -> S_OK",
                     "WordTemplate.Saved = VT_BOOL 1 -> S_OK"}),
              Lines(closeCalls.end() - 3, closeCalls.end()));
    Variant saved = outlook->WordTemplate().Value("Saved");
    EXPECT_EQ(VT_BOOL, saved.Type());
    EXPECT_EQ(1, saved.Get()->boolVal);

    // The last one empties the slots once the handlers are gone.
    LogTail last;
    CloseAndExpectNothingLeft(second, StartupObjects());
    EXPECT_EQ((Lines{"MailItem Event: Close (F004)", "Inspector Event: Close (F008)",
                     "~CButtonHandler, g_lMyObjects=6", "~CButtonHandler, g_lMyObjects=5",
                     "~CItemHandler, g_lMyObjects=4", "~CMailItem, g_lMyObjects=3",
                     "~CInspectorEventHandler, g_lMyObjects=2"}),
              Lifetimes(last.Read()));
    EXPECT_EQ(nullptr, CInspectorEventHandler::WordEditorButton(0));
    EXPECT_EQ(nullptr, CInspectorEventHandler::WordEditorButton(1));
    EXPECT_EQ(nullptr, outlook->WordBars().Find("Quorvia"));

    // The next Word window makes a new pair on a new bar.
    CallLog::Clear();
    LogTail third;
    OutlookWindow &next = outlook->Open(Word());
    EXPECT_EQ(Joined({InspectorSinkConnects(2), ButtonHandlerMade(4), ButtonHandlerMade(5), TrackedItemMade(5),
                      {"Inspector Event: Activate (F001)"}}),
              third.Read());
    const Lines barCalls = CallsOn({"CommandBars", "Quorvia"});
    ASSERT_GE(barCalls.size(), 5u);
    EXPECT_EQ(BarCalls(false), Lines(barCalls.begin(), barCalls.begin() + 5));
    ASSERT_TRUE(CInspectorEventHandler::WordEditorButton(0) && CInspectorEventHandler::WordEditorButton(1));
    // It starts from the last toggle, made in the earlier pair.
    EXPECT_EQ("Quorvia Message Tracking On", next.Button(ToolbarButton::Tracking)->Text("Caption"));
    CloseAndExpectNothingLeft(next, StartupObjects());
}

TEST_F(WindowsTest, WordAndPlainWindowsKeepTheirHandlersApart)
{
    PlayOutlook2003();
    OutlookWindow &word = outlook->Open(Word());
    OutlookWindow &plain = outlook->Open();
    EXPECT_EQ(12, g_lMyObjects);
    EXPECT_NE(word.Button(ToolbarButton::Tracking), plain.Button(ToolbarButton::Tracking));
    EXPECT_TRUE(outlook->Close(word));
    EXPECT_EQ(nullptr, CInspectorEventHandler::WordEditorButton(0));
    EXPECT_EQ(7, g_lMyObjects);
    CloseAndExpectNothingLeft(plain, StartupObjects());
}

// --- windows that get nothing -----------------------------------------------------------

// Outlook 2003: the same sinks, without the ribbon's calls in the way.
TEST_F(WindowsTest, WindowsThatDoNotComposeAMailGetNothing)
{
    PlayOutlook2003();
    struct Case
    {
        const char *what;
        ItemKind kind;
        const char *failingMember; // on the Inspector
        Lines calls;               // after the NewInspector firing, before Activate
        Lines log;
    };
    const std::string inspectorFailure = std::string("NewInspector failed: hr=0x80004005, interface ") + kInspectorIid;
    const Case cases[] = {
        {"sent mail", ItemKind::Sent, nullptr,
         {"Inspector.QueryInterface(_Inspector) -> S_OK", "Inspector.CurrentItem -> S_OK",
          "MailItem.QueryInterface(_MailItem) -> S_OK", "MailItem.Class -> S_OK", "MailItem.Sent -> S_OK"},
         {"InspectorCollectionEvent: NewInspector (F001)"}},
        {"another class", ItemKind::OtherClass, nullptr,
         {"Inspector.QueryInterface(_Inspector) -> S_OK", "Inspector.CurrentItem -> S_OK",
          "MailItem.QueryInterface(_MailItem) -> S_OK", "MailItem.Class -> S_OK"},
         {"InspectorCollectionEvent: NewInspector (F001)"}},
        {"not a mail item", ItemKind::NonMail, nullptr,
         {"Inspector.QueryInterface(_Inspector) -> S_OK", "Inspector.CurrentItem -> S_OK",
          "AppointmentItem.QueryInterface(_MailItem) -> E_NOINTERFACE"},
         {"InspectorCollectionEvent: NewInspector (F001)"}},
        {"CurrentItem fails", ItemKind::Compose, "CurrentItem",
         {"Inspector.QueryInterface(_Inspector) -> S_OK", "Inspector.CurrentItem -> E_FAIL"},
         {"InspectorCollectionEvent: NewInspector (F001)", inspectorFailure}},
        {"the window does not answer _Inspector", ItemKind::Compose, "QueryInterface(_Inspector)",
         {"Inspector.QueryInterface(_Inspector) -> E_FAIL"},
         {"InspectorCollectionEvent: NewInspector (F001)", inspectorFailure}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OpenSpec plan;
        plan.kind = c.kind;
        Faults::Clear();
        if (c.failingMember)
            Faults::Fail("Inspector", c.failingMember, E_FAIL);
        CallLog::Clear();
        LogTail log;
        OutlookWindow &window = outlook->Open(plan);
        // Nothing reaches Outlook: the event succeeds.
        EXPECT_EQ(S_OK, outlook->LastNewInspectorResult());
        EXPECT_EQ(c.log, log.Read());
        EXPECT_EQ(Joined({{"Inspectors => InspectorsEvents 0xF001(VT_DISPATCH) -> S_OK"}, c.calls,
                          {"Inspector => InspectorEvents 0xF001() -> S_OK"}}),
                  CallLog::Lines());
        EXPECT_EQ(StartupObjects(), g_lMyObjects);
        EXPECT_TRUE(window.Bars().Bars().empty());
        EXPECT_EQ(0u, window.Window().Events().SinkCount());
        Faults::Clear();
        LogTail closing;
        EXPECT_TRUE(outlook->Close(window));
        EXPECT_EQ(Lines{}, closing.Read());
        EXPECT_EQ(StartupObjects(), g_lMyObjects);
    }
}

// --- the window's own events -----------------------------------------------------------

TEST_F(WindowsTest, WindowEventsOtherThanCloseAreLoggedAndChangeNothing)
{
    OutlookWindow &window = outlook->Open();
    struct Case
    {
        DISPID id;
        REFIID riid;
        HRESULT result;
        Lines log;
    };
    const Case cases[] = {
        {0xF001, IID_NULL, S_OK, {"Inspector Event: Activate (F001)"}},
        {0xF006, IID_NULL, S_OK, {"Inspector Event: Deactivate (F006)"}},
        {0xF002, IID_NULL, S_OK, {"Inspector Event: <Unknown> (F002)"}},
        {0xF007, IID_NULL, S_OK, {"Inspector Event: <Unknown> (F007)"}},
        // Not through IID_NULL: refused before anything is logged, Close included.
        {0xF008, DIID_InspectorEvents, DISP_E_UNKNOWNINTERFACE, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        CallLog::Clear();
        LogTail log;
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        EXPECT_EQ(c.result, window.Window().Events().FireRaw(c.id, c.riid, 0, DISPATCH_METHOD, &none, nullptr));
        EXPECT_EQ(c.log, log.Read());
        EXPECT_EQ(1u, CallLog::Lines().size()); // the firing alone: nothing asked of the host
        EXPECT_EQ(7, g_lMyObjects);
        EXPECT_EQ(1u, window.Window().Events().SinkCount());
    }
    CloseAndExpectNothingLeft(window, StartupObjects());
}

TEST_F(WindowsTest, TheInspectorsSinkChecksTheNewInspectorCall)
{
    EventSource &events = outlook->App().InspectorsCollection().Events();
    ComPtr<Inspector> inspector = Create<Inspector>(Inspector::Window::None);
    VARIANT window;
    VariantInit(&window);
    window.vt = VT_DISPATCH;
    window.pdispVal = inspector.Get();
    VARIANT twice[2] = {window, window};
    VARIANT byReference;
    VariantInit(&byReference);
    IDispatch *pointer = inspector.Get();
    byReference.vt = VT_DISPATCH | VT_BYREF;
    byReference.ppdispVal = &pointer;
    VARIANT text;
    VariantInit(&text);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    DISPPARAMS two = {twice, nullptr, 2, 0};
    DISPPARAMS byRef = {&byReference, nullptr, 1, 0};
    DISPPARAMS empty = {&text, nullptr, 1, 0};
    const std::string line = "InspectorCollectionEvent: NewInspector (F001)";
    struct Case
    {
        const char *what;
        DISPID id;
        REFIID riid;
        DISPPARAMS *params;
        HRESULT result;
        Lines log;
    };
    const Case cases[] = {
        {"another interface", 0xF001, DIID_InspectorsEvents, &none, DISP_E_UNKNOWNINTERFACE, {}},
        {"another member", 0xF002, IID_NULL, &none, DISP_E_MEMBERNOTFOUND, {}},
        {"no parameters", 0xF001, IID_NULL, nullptr, E_POINTER, {line}},
        {"no argument", 0xF001, IID_NULL, &none, DISP_E_BADPARAMCOUNT, {line}},
        {"two arguments", 0xF001, IID_NULL, &two, DISP_E_BADPARAMCOUNT, {line}},
        {"a dispatch by reference", 0xF001, IID_NULL, &byRef, S_OK, {line}},
        {"no dispatch at all", 0xF001, IID_NULL, &empty, S_OK, {line}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CallLog::Clear();
        LogTail log;
        EXPECT_EQ(c.result, events.FireRaw(c.id, c.riid, 0, DISPATCH_METHOD, c.params, nullptr));
        EXPECT_EQ(c.log, log.Read());
        EXPECT_EQ(1u, CallLog::Lines().size()); // nothing asked of the window
        EXPECT_EQ(StartupObjects(), g_lMyObjects);
    }
}

// --- failures while a window is equipped -------------------------------------------------

// Outlook 2003: the same sinks, without the ribbon's calls in the way.
TEST_F(WindowsTest, AWindowWhoseInspectorCannotBeHeardIsDisposedOfAtOnce)
{
    PlayOutlook2003();
    struct Case
    {
        const char *member;
        HRESULT failure;
        Lines log;
    };
    const Case cases[] = {
        {"FindConnectionPoint", CONNECT_E_NOCONNECTION,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "CInspectorEventHandler::SinkEvents", "CInspectorEventHandler::Cleanup",
          "~CInspectorEventHandler, g_lMyObjects=2"}},
        // The reference of the self-query is given back through FreeEvents,
        // which then finds nothing to disconnect.
        {"Advise", CONNECT_E_ADVISELIMIT,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "CInspectorEventHandler::SinkEvents", "CInspectorEventHandler::AddRef : count=1",
          "CInspectorEventHandler::FreeEvents", "CInspectorEventHandler::AddRef : count=2",
          "CInspectorEventHandler::Release : count=1", "CInspectorEventHandler::FreeEvents",
          "CInspectorEventHandler::Release : count=0", "CInspectorEventHandler::Cleanup",
          "~CInspectorEventHandler, g_lMyObjects=2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.member);
        Faults::Clear();
        Faults::Fail("Inspector", c.member, c.failure);
        CallLog::Clear();
        LogTail log;
        OutlookWindow &window = outlook->Open();
        EXPECT_EQ(S_OK, outlook->LastNewInspectorResult());
        EXPECT_EQ(c.log, log.Read());
        // The window simply has no toolbar: nothing was made that would live on.
        EXPECT_EQ(StartupObjects(), g_lMyObjects);
        EXPECT_EQ(Lines{}, CallsOn({"CommandBars"}));
        EXPECT_EQ((Lines{"MailItem.QueryInterface(_MailItem) -> S_OK", "MailItem.Class -> S_OK", "MailItem.Sent -> S_OK"}),
                  CallsOn({"MailItem"}));
        EXPECT_TRUE(window.Bars().Bars().empty());
        EXPECT_EQ(0u, window.Window().Events().SinkCount());
        Faults::Clear();
        LogTail closing;
        EXPECT_TRUE(outlook->Close(window));
        EXPECT_EQ(Lines{}, closing.Read());
        EXPECT_EQ(StartupObjects(), g_lMyObjects);
    }
}

// Outlook 2003, where the toolbar is made.
TEST_F(WindowsTest, AFailureWhileTheToolbarIsMadeLeavesWhatWasMadeAndAllOfItGoesAtClose)
{
    PlayOutlook2003();
    struct Case
    {
        const char *what;
        const char *object;
        const char *member;
        unsigned nth; // 0: every call
        long objectsWhileOpen;
        bool bar;
        unsigned buttons;
        bool heard;    // the window's sink stays connected
        bool itemSink; // the item has a sink
        Lines lifetimes;
    };
    const Case cases[] = {
        // Tried again at the first Activate, and then the window stays without.
        {"CommandBars fails", "Inspector", "CommandBars", 0, 3, false, 0, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "Inspector Event: Activate (F001)",
          std::string("Inspector Activate failed: hr=0x80004005, interface ") + kInspectorIid}},
        {"the bar's Add fails", "CommandBars", "Add", 0, 3, false, 0, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "Inspector Event: Activate (F001)"}},
        {"the bar cannot be placed", "Quorvia", "RowIndex", 0, 3, true, 0, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "Inspector Event: Activate (F001)"}},
        {"the Tracking button's Add fails", "Quorvia.Controls", "Add", 1, 3, true, 0, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "CButtonHandler, g_lMyObjects=4", "~CButtonHandler, g_lMyObjects=3", "Inspector Event: Activate (F001)"}},
        {"the Setup button's Add fails", "Quorvia.Controls", "Add", 2, 4, true, 1, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "CButtonHandler, g_lMyObjects=4", "CButtonHandler, g_lMyObjects=5", "~CButtonHandler, g_lMyObjects=4",
          "Inspector Event: Activate (F001)"}},
        {"the tracked item cannot reach its message", "MailItem", "MAPIOBJECT", 0, 5, true, 2, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "CButtonHandler, g_lMyObjects=4", "CButtonHandler, g_lMyObjects=5", "Inspector Event: Activate (F001)"}},
        // An item sink that never connected is no use and is let go at once.
        {"the item cannot be heard", "MailItem", "FindConnectionPoint", 0, 6, true, 2, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "CButtonHandler, g_lMyObjects=4", "CButtonHandler, g_lMyObjects=5", "CMailItem, g_lMyObjects=6",
          "CItemHandler, g_lMyObjects=7", "~CItemHandler, g_lMyObjects=6", "Inspector Event: Activate (F001)"}},
        // Advise failed after the self-query: the sink holds the one reference the window gives back.
        {"the item's Advise fails", "MailItem", "Advise", 0, 7, true, 2, true, false,
         {"InspectorCollectionEvent: NewInspector (F001)", "CInspectorEventHandler, g_lMyObjects=3",
          "CButtonHandler, g_lMyObjects=4", "CButtonHandler, g_lMyObjects=5", "CMailItem, g_lMyObjects=6",
          "CItemHandler, g_lMyObjects=7", "Inspector Event: Activate (F001)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Faults::Clear();
        if (c.nth)
            Faults::FailNth(c.object, c.member, c.nth, E_FAIL);
        else
            Faults::Fail(c.object, c.member, E_FAIL);
        LogTail log;
        OutlookWindow &window = outlook->Open();
        EXPECT_EQ(S_OK, outlook->LastNewInspectorResult());
        EXPECT_EQ(c.lifetimes, Lifetimes(log.Read()));
        EXPECT_EQ(c.objectsWhileOpen, g_lMyObjects);
        EXPECT_EQ(c.bar, window.QuorviaBar() != nullptr);
        if (window.QuorviaBar()) {
            EXPECT_EQ(c.buttons, window.QuorviaBar()->Buttons().size());
        }
        EXPECT_EQ(c.heard ? 1u : 0u, window.Window().Events().SinkCount());
        EXPECT_EQ(c.itemSink ? 1u : 0u, window.Item().Events().SinkCount());
        Faults::Clear();
        LogTail closing;
        EXPECT_TRUE(outlook->Close(window));
        EXPECT_EQ(StartupObjects(), g_lMyObjects);
        EXPECT_EQ(0u, window.Window().Events().SinkCount());
        // Every count that was made is given back exactly: none goes below zero.
        for (const std::string &line : closing.Read())
            EXPECT_EQ(std::string::npos, line.find("count=-1")) << line;
    }
}

// --- a window that is not ready in NewInspector ------------------------------------------

// A Word 2003 editor that failed in NewInspector: the whole window is
// equipped at the first Activate. Today's Outlook, whose command bars may come
// only then, needs none: its window is equipped in NewInspector all the same.
TEST_F(WindowsTest, AWindowNotReadyInNewInspectorIsEquippedAtItsFirstActivate)
{
    for (bool outlook2003 : {false, true}) {
        SCOPED_TRACE(outlook2003 ? "Word 2003's editor fails" : "no bars yet");
        OpenSpec plan;
        if (outlook2003) {
            PlayOutlook2003();
            plan.editor = Editor::Word;
            Faults::FailNth("Inspector", "WordEditor", 1, E_FAIL);
        } else {
            plan.barsFromFirstActivate = true;
        }
        LogTail log;
        OutlookWindow &window = outlook->Open(plan);
        if (outlook2003) {
            EXPECT_EQ(Joined({InspectorSinkConnects(2), {"Inspector Event: Activate (F001)"}, ButtonHandlerMade(4),
                              ButtonHandlerMade(5), TrackedItemMade(5)}),
                      log.Read());
            EXPECT_TRUE(window.Button(ToolbarButton::Tracking));
            EXPECT_TRUE(CInspectorEventHandler::WordEditorButton(0));
        } else {
            EXPECT_EQ(Joined({InspectorSinkConnects(4), TrackedItemMade(5), ComposeRibbonShown(true),
                              {"Inspector Event: Activate (F001)"}}),
                      log.Read());
            EXPECT_TRUE(window.Bars().Bars().empty());
        }
        EXPECT_EQ(1u, window.Item().Events().SinkCount());
        CloseAndExpectNothingLeft(window, StartupObjects());
    }
}
