// CMailItem: the add-in's object for the mail item of one compose window or
// inline response. It receives the item's events from the item sink and, at
// Send, marks the HTML body for tracking. Reference-counted by hand; never
// handed to Outlook.
#pragma once

#include "com/ComPtr.h"
#include "settings/Account.h"
#include "tracking/TrackingSwitch.h"

#include <mapidefs.h>
#include <oaidl.h>

#include <memory>
#include <string>

class CMailItem
{
public:
    // Raises ComError when the item's MAPI object cannot be obtained. The
    // switch decides at each send whether to track; the account goes into the
    // request. Either may be null: no switch sends untracked.
    CMailItem(IDispatch *mailItem, TrackingSwitchPtr trackingSwitch, AccountPtr account);

    // The item's window is not one to hide while the service is asked: an
    // inline response in Outlook's main window, or a send from a window the
    // add-in never saw. The questions belong to owner then.
    void KeepWindowShown(HWND owner)
    {
        m_bKeepWindowShown = true;
        m_hOwner = owner;
    }

    // The live tracked item of a mail item (compared by COM identity), not
    // counted; null when there is none.
    static CMailItem *Tracking(IDispatch *mailItem);

    LONG AddRef();
    LONG Release();

    IDispatch *GetMailItem() const { return m_pMailItem.Get(); }

    int OnOpen() { return 0; }
    int OnWrite() { return 0; }
    int OnClose() { return 0; }
    // 1 cancels the send, 0 lets it go on. Raises ComError when the object
    // model fails underneath. A send is marked once: Outlook tells of it twice
    // (the item's Send and the application's ItemSend), in either order, and
    // the second finds it handled.
    int OnSend();

    // 1: the send goes on (marked, or untracked by the user's choice); 0: cancel.
    int MarkForTracking();
    void ForceHtmlFormat();

    // Obtains a fragment from the service while this thread keeps dispatching
    // messages. -1: *fragment holds it; 1: send untracked; 0: do not send.
    int ExchangeInBackground(std::wstring *fragment);

    // The form posted to the service, built from the account and the message's
    // recipients and subject on the calling (Outlook) thread; *subject, when
    // asked for, gets the subject.
    std::string BuildTrackingRequest(std::wstring *subject = nullptr);
    // A string property of the message; empty when it cannot be read.
    std::wstring GetMessageString(ULONG tag);

    // What the service's reply amounts to.
    enum class Reply
    {
        Fragment,     // *fragment holds it
        Unauthorized, // an empty reply, 401 or 403: the authorization question
        Unreachable,  // no reply, or any other status: the contact question
    };
    // The network half of the exchange, for the worker thread; touches nothing
    // but its arguments and shows nothing, and is over by the deadline
    // (GetTickCount64). *refusal says why a reply was no fragment.
    static Reply RequestTrackingFragment(const std::string &body, ULONGLONG deadline, std::wstring *fragment,
                                         std::string *refusal);

private:
    ~CMailItem();

    // The outcome of a body source: marked, not available, or the exchange's
    // 1 or 0 when it ended without a fragment.
    struct SourceResult
    {
        bool marked;
        bool available;
        int outcome;
    };
    // After a fragment was obtained the window is still hidden; when the
    // marked body cannot be written back the send fails, and the user must see
    // the window again.
    void ShowWindowAgain() noexcept;
    // The marked mail's window stays hidden while it goes out; should the
    // send be refused after this add-in's part, it is shown again.
    void ShowWindowUnlessSent();
    void RevealIfNotSubmitted(unsigned hiddenSend);

    bool IsPlainTextOrRtf();
    // The mail's window, as far as the object model tells it; never raises.
    HWND MailWindow();
    int AskHtmlOnly();
    SourceResult MarkHtmlBodyProperty();
    SourceResult MarkBodyStream(ULONG tag);

    LONG m_cRef = 0;
    ComPtr<IDispatch> m_pMailItem;
    ComPtr<IMessage> m_pMessage;
    TrackingSwitchPtr m_switch;
    AccountPtr m_account;
    bool m_bKeepWindowShown = false;
    HWND m_hOwner = nullptr;
    // Set while one send is being handled, until Outlook's loop runs again.
    bool m_bSendHandled = false;
    // The window an exchange left hidden after it obtained a fragment, until
    // the marked body is written back; remembered so it can be shown again
    // without asking the object model, which may be what just failed.
    ComPtr<IDispatch> m_spHiddenInspector;
    HWND m_hHiddenWindow = nullptr;
    unsigned m_nHiddenSends = 0;
    // Whether this object still lives, for checks that run later.
    std::shared_ptr<CMailItem *> m_self = std::make_shared<CMailItem *>(this);
};

// How long a tracking exchange may take in all: past it the message is
// handled as if the service could not be reached.
constexpr DWORD kExchangeDeadlineMs = 20000;
// kExchangeDeadlineMs, but for tests that must not wait it out.
extern DWORD g_dwExchangeDeadlineMs;

// The owner of the add-in's questions about a mail: its window, else
// Outlook's main window, so a question can never hide behind Outlook.
HWND PromptOwner(HWND mailWindow);
// The questions when no fragment came back, on Outlook's thread: 1 sends
// untracked, 0 keeps the mail.
int ShowContactPrompt(HWND owner);
int ShowAuthorizationPrompt(HWND owner);
