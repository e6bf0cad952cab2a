// Today's Outlook with the add-in of this build: the ribbon Office asks for
// (its XML, its toggle and Setup button per window), inline replies in the
// main window, and ItemSend, the net under every send. Each send is checked
// at the stand-in service (one request) and in the mail that went out (one
// fragment, before the closing tag).
#include "OutlookTestSupport.h"

#include "com/Guids.h"
#include "host/Text.h"
#include "host/TrackingService.h"
#include "settings/Settings.h"

#include <thread>

using namespace host;
using namespace test;

namespace {

const char kFragment[] = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/5\">";
const wchar_t kMarked[] = L"<html><body>Hello<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/5\"></body></html>";
const wchar_t kUnmarked[] = L"<html><body>Hello</body></html>";
const char kContactPrompt[] =
    "Unable to contact to Quorvia server. Do you want to send message without tracking capability?";

class RibbonTest : public OutlookTest
{
protected:
    void SetUp() override
    {
        OutlookTest::SetUp();
        ASSERT_TRUE(m_service.Listening());
        m_service.SetAnswer(Answer::Fragment(kFragment));
        StartWithAccount();
    }

    // What a window's Tracking toggle shows, once the ribbon has asked again.
    bool Pressed(const RibbonControlState *toggle)
    {
        outlook->Idle();
        EXPECT_TRUE(toggle);
        return toggle && toggle->pressed;
    }

    TrackingService m_service;
};

std::wstring SentBody(const MailItem &item)
{
    return item.Sent() && item.Sent()->htmlBody ? *item.Sent()->htmlBody : L"(not sent)";
}

} // namespace

// --- the ribbon ----------------------------------------------------------------------------

// Office takes the add-in's XML for both kinds of ribbon as it stands, and
// nothing for the others; the callbacks it names are the add-in's.
TEST_F(RibbonTest, BothRibbonsHoldTheGroupOfficeAcceptsAndOtherKindsGetNothing)
{
    OutlookWindow &window = outlook->Open();
    EXPECT_TRUE(outlook->Ribbon().Errors().empty());
    for (RibbonKind kind : {RibbonKind::Compose, RibbonKind::Explorer}) {
        ASSERT_TRUE(outlook->Ribbon().Definition(kind));
        const CustomUI &ui = *outlook->Ribbon().Definition(kind);
        const std::vector<RibbonControlXml> &controls = kind == RibbonKind::Compose ? ui.compose : ui.inlineResponse;
        ASSERT_EQ(2u, controls.size());
        EXPECT_EQ("toggleButton", controls[0].type);
        EXPECT_EQ("button", controls[1].type);
        EXPECT_EQ("OnRibbonLoad", ui.onLoad);
    }
    const RibbonControlState *setup = outlook->RibbonState(window, "QuorviaSetup");
    ASSERT_TRUE(setup);
    EXPECT_EQ("Setup", setup->label);
    EXPECT_TRUE(setup->picture); // the add-in's face

    ComPtr<IRibbonExtensibility> ribbon;
    ASSERT_EQ(S_OK, outlook->Addin()->QueryInterface(IID_IRibbonExtensibility, ribbon.ReceiveVoid()));
    for (const wchar_t *other : {L"Microsoft.Outlook.Mail.Read", L"Microsoft.Outlook.Contact", L""}) {
        BStr id = BStr::FromWide(other);
        BSTR xml = reinterpret_cast<BSTR>(1);
        EXPECT_EQ(S_OK, ribbon->GetCustomUI(id.Get(), &xml));
        EXPECT_EQ(nullptr, xml);
    }
    EXPECT_EQ(E_POINTER, ribbon->GetCustomUI(nullptr, nullptr));
    EXPECT_TRUE(outlook->Close(window));
}

// Setup runs the account dialog over the window; the toggle shows only with a
// complete account, and follows it as soon as the dialog is closed.
TEST_F(RibbonTest, SetupEditsTheAccountAndTheToggleShowsOnlyWithACompleteOne)
{
    OutlookWindow &window = outlook->Open();
    const RibbonControlState *toggle = outlook->RibbonState(window, "QuorviaTracking");
    ASSERT_TRUE(toggle);
    EXPECT_TRUE(toggle->visible);
    HWND owner = nullptr;
    Robot().Expect(kCaption, [&owner](HWND dialog) {
        owner = GetWindow(dialog, GW_OWNER);
        SetDlgItemTextA(dialog, 108, "");
        return IDOK;
    });
    EXPECT_EQ(S_OK, outlook->ClickRibbon(window, "QuorviaSetup"));
    EXPECT_EQ(window.Window().Hwnd(), owner);
    EXPECT_EQ(L"", g_pAddin->Password());
    outlook->Idle();
    EXPECT_FALSE(toggle->visible);
    const Lines calls = CallLog::Lines();
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(),
                            "ComposeRibbonUI.InvalidateControl(VT_BSTR \"QuorviaTracking\") -> S_OK"));
    EXPECT_TRUE(outlook->Close(window));
}

// A window the add-in does not track (its sink could not connect) has no
// switch: its toggle turns nothing and shows so.
TEST_F(RibbonTest, AToggleOfAWindowTheAddinDoesNotTrackTurnsNothing)
{
    Faults::Fail("Inspector", "FindConnectionPoint", CONNECT_E_NOCONNECTION);
    OutlookWindow &window = outlook->Open();
    Faults::Clear();
    const RibbonControlState *toggle = outlook->RibbonState(window, "QuorviaTracking");
    EXPECT_EQ(S_OK, outlook->ClickRibbon(window, "QuorviaTracking"));
    EXPECT_FALSE(Pressed(toggle));
    EXPECT_EQ("(none)", StoredString("Tracking").value_or("(none)"));
    EXPECT_TRUE(outlook->Send(window));
    EXPECT_EQ(kUnmarked, SentBody(window.Item()));
    EXPECT_TRUE(m_service.Requests().empty());
}

// --- inline replies ------------------------------------------------------------------------

// A reply composed in the main window gets a switch of its own, driven by the
// main window's ribbon; sent with tracking on it goes out marked once, and the
// main window is never hidden.
TEST_F(RibbonTest, AnInlineReplyWithTrackingOnGoesOutMarkedOnceAndTheMainWindowStays)
{
    Explorer &main = outlook->MainExplorer();
    ASSERT_TRUE(IsWindowVisible(main.Hwnd()));
    ComposedItem *reply = outlook->ReplyInline(main);
    ASSERT_TRUE(reply);
    EXPECT_EQ(6, g_lMyObjects); // its tracked item and item sink
    const RibbonControlState *toggle = outlook->RibbonState(main, "QuorviaTracking");
    EXPECT_FALSE(Pressed(toggle));
    EXPECT_EQ(S_OK, outlook->ClickRibbon(main, "QuorviaTracking"));
    EXPECT_TRUE(Pressed(toggle));

    m_service.SetAnswer(Answer::Fragment(kFragment).Delayed(300));
    bool hidden = false;
    std::thread watch([&] {
        for (int i = 0; i < 60 && m_service.Requests().empty(); ++i)
            Sleep(10);
        hidden = !IsWindowVisible(main.Hwnd());
    });
    LogTail log;
    ComPtr<MailItem> item = ComPtr<MailItem>::Borrow(&reply->Item());
    EXPECT_TRUE(outlook->SendInline(main));
    watch.join();
    EXPECT_FALSE(hidden);
    EXPECT_TRUE(IsWindowVisible(main.Hwnd()));
    EXPECT_EQ(kMarked, SentBody(*item.Get()));
    EXPECT_EQ(1u, m_service.Requests().size());
    // Nothing asks the inline item for a window it does not have.
    for (const std::string &call : CallLog::Lines())
        EXPECT_EQ(std::string::npos, call.find("GetInspector")) << call;
    // Sent, the response closes and the add-in lets go of it.
    const Lines lifetimes = Lifetimes(log.Read());
    EXPECT_EQ((Lines{"MailItem Event: Send (F005)", "Application Event: ItemSend (F002)",
                     "Explorer Event: InlineResponseClose (FC96)", "~CItemHandler, g_lMyObjects=5",
                     "~CMailItem, g_lMyObjects=4"}),
              lifetimes);

    // The next reply starts from the last toggle; a discarded one leaves nothing.
    ASSERT_TRUE(outlook->ReplyInline(main));
    EXPECT_TRUE(Pressed(outlook->RibbonState(main, "QuorviaTracking")));
    EXPECT_TRUE(outlook->DiscardInline(main));
    EXPECT_EQ(4, g_lMyObjects);
}

// Without the service, the question belongs to the main window; a new main
// window is followed as the first one is.
TEST_F(RibbonTest, AnInlineReplysQuestionsBelongToItsMainWindow)
{
    Explorer &second = outlook->OpenExplorer();
    EXPECT_EQ(5, g_lMyObjects);
    ASSERT_TRUE(outlook->ReplyInline(second));
    EXPECT_EQ(S_OK, outlook->ClickRibbon(second, "QuorviaTracking"));
    m_service.SetAnswer(Answer::Error(500));
    Robot().Expect(kCaption, IDNO);
    EXPECT_FALSE(outlook->SendInline(second));
    ASSERT_TRUE(Robot().WaitForDialogs(1, 5000));
    EXPECT_EQ(kContactPrompt, Robot().Dialogs()[0].text);
    EXPECT_EQ(second.Hwnd(), Robot().Dialogs()[0].owner);
    // Kept: the reply is still there, as it was.
    ASSERT_TRUE(second.InlineResponse());
    EXPECT_EQ(kUnmarked, second.InlineResponse()->Item().HtmlBody());
    EXPECT_TRUE(outlook->CloseExplorer(second));
    EXPECT_EQ(4, g_lMyObjects);
}

// --- ItemSend ------------------------------------------------------------------------------

// Whichever of Outlook's two events of a send comes first marks it; a mail no
// window of the add-in's shows is marked by ItemSend alone, and only with
// tracking on by default.
TEST_F(RibbonTest, EverySendWithTrackingOnIsMarkedExactlyOnceWhateverTheOrderOfTheEvents)
{
    struct Case
    {
        const char *what;
        bool itemSendFirst;
        bool window; // else a mail made by another program
        bool on;
    };
    const Case cases[] = {
        {"window, Send first", false, true, true},
        {"window, ItemSend first", true, true, true},
        {"another program's mail", false, false, true},
        {"another program's mail, ItemSend first", true, false, true},
        {"another program's mail, tracking off", false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t requestsBefore = m_service.Requests().size();
        outlook->SetItemSendFirst(c.itemSendFirst);
        CSettings().WriteDword(L"Tracking", c.on ? 0xFFFFFFFF : 0);
        ComPtr<MailItem> item;
        if (c.window) {
            OutlookWindow &window = outlook->Open(); // starts from the stored toggle: on
            ASSERT_TRUE(Pressed(outlook->RibbonState(window, "QuorviaTracking")));
            item = ComPtr<MailItem>::Borrow(&window.Item());
            EXPECT_TRUE(outlook->Send(window));
        } else {
            ComposedItem &mail = outlook->CreateItem();
            item = ComPtr<MailItem>::Borrow(&mail.Item());
            EXPECT_TRUE(outlook->SendItem(mail));
        }
        EXPECT_EQ(c.on ? 1u : 0u, m_service.Requests().size() - requestsBefore);
        EXPECT_EQ(c.on ? kMarked : kUnmarked, SentBody(*item.Get()));
        outlook->Idle();
    }
    for (OutlookWindow *open : outlook->OpenWindows())
        EXPECT_TRUE(outlook->Close(*open));
    EXPECT_EQ(4, g_lMyObjects);
}
