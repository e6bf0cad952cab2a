// The tracking exchange: the request goes out on a worker thread while the
// Outlook thread waits with the mail window hidden and keeps dispatching
// window messages. The worker gets only the finished request body: it must not
// touch the MAPI message (MAPI is not initialised on it) nor the account (the
// setup dialog may change it meanwhile), and it shows nothing: the questions
// come on Outlook's thread once it has finished, owned by the mail window.

#include "tracking/MailItem.h"

#include "addin/Identity.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "com/PostedWork.h"
#include "http/HttpRetriever.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"

#include <oleidl.h>

namespace {

constexpr LONG kOlMinimized = 1;
constexpr LONG kOlNormalWindow = 2;
constexpr DWORD kWaitSliceMs = 10;

using Reply = CMailItem::Reply;

struct ExchangeParams
{
    Reply result;
    std::string *fragment;
    const std::string *body;
    HANDLE done;
};

DWORD WINAPI ExchangeThreadProc(LPVOID parameter)
{
    ExchangeParams *params = static_cast<ExchangeParams *>(parameter);
    Reply result;
    try {
        result = CMailItem::RequestTrackingFragment(*params->body, params->fragment);
    } catch (...) {
        LogCaughtError("Tracking exchange");
        result = Reply::Unreachable;
    }
    params->result = result;
    SetEvent(params->done);
    return 0;
}

// Runs the exchange on a worker and pumps this thread's messages meanwhile,
// never blocking longer than one slice and dispatching at most one message per slice.
Reply RunExchange(const std::string &body, std::string *fragment)
{
    KernelHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!done) {
        DebugLog(1, "Tracking exchange: no event (error %lu)\n", GetLastError());
        return Reply::Unreachable;
    }
    ExchangeParams params = {Reply::Unreachable, fragment, &body, done.Get()};
    KernelHandle worker(CreateThread(nullptr, 0, ExchangeThreadProc, &params, 0, nullptr));
    if (!worker) {
        DebugLog(1, "Tracking exchange: no worker thread (error %lu)\n", GetLastError());
        return Reply::Unreachable;
    }

    bool quitSeen = false;
    WPARAM quitCode = 0;
    while (WaitForSingleObject(done.Get(), kWaitSliceMs) != WAIT_OBJECT_0) {
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // Not ours to consume: handed back once the exchange is over.
                quitSeen = true;
                quitCode = msg.wParam;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (quitSeen)
        PostQuitMessage(static_cast<int>(quitCode));
    return params.result;
}

// Shows the inspector's window again: its window handle, or else its
// WindowState. Raises when the inspector refuses.
void RevealInspector(IDispatch *inspector, HWND window)
{
    if (window)
        ShowWindow(window, SW_SHOW);
    else
        om::Put(inspector, L"WindowState", Variant::I4(kOlNormalWindow), IID__Inspector);
}

// Brings the mail window back if the caller leaves without a fragment,
// whatever way it leaves.
class HiddenInspector
{
public:
    explicit HiddenInspector(IDispatch *inspector) : m_inspector(inspector)
    {
        ComPtr<IOleWindow> oleWindow;
        if (SUCCEEDED(inspector->QueryInterface(IID_IOleWindow, oleWindow.ReceiveVoid())) && oleWindow) {
            oleWindow->GetWindow(&m_window);
            if (m_window)
                ShowWindow(m_window, SW_HIDE);
        } else {
            om::Put(inspector, L"WindowState", Variant::I4(kOlMinimized), IID__Inspector);
        }
    }
    HiddenInspector(const HiddenInspector &) = delete;
    HiddenInspector &operator=(const HiddenInspector &) = delete;
    ~HiddenInspector()
    {
        if (!m_keepHidden) {
            try {
                Restore();
            } catch (...) {
                LogCaughtError("Restoring the mail window");
            }
        }
    }
    void KeepHidden() { m_keepHidden = true; }
    HWND Window() const { return m_window; }
    // Shows the window again; raises when the inspector refuses.
    void Restore()
    {
        m_keepHidden = true;
        RevealInspector(m_inspector, m_window);
    }

private:
    IDispatch *m_inspector;
    HWND m_window = nullptr;
    bool m_keepHidden = false;
};

// Yes (1): send untracked; No (0): do not send.
int AskUser(HWND owner, const char *text)
{
    return MessageBoxA(owner, text, QUORVIA_CAPTION, MB_YESNO | MB_ICONWARNING) == IDYES ? 1 : 0;
}

} // namespace

HWND PromptOwner(HWND mailWindow)
{
    // Without a window of its own the mail is Outlook's main window's: the
    // window active on this, Outlook's, thread.
    return mailWindow ? mailWindow : GetActiveWindow();
}

int ShowContactPrompt(HWND owner)
{
    return AskUser(owner,
                   "Unable to contact to Quorvia server. Do you want to send message without tracking capability?");
}

int ShowAuthorizationPrompt(HWND owner)
{
    return AskUser(owner,
                   "Unable to authorize on Quorvia server. Do you want to send message without tracking capability?");
}

CMailItem::Reply CMailItem::RequestTrackingFragment(const std::string &body, std::string *fragment)
{
    HttpRetriever retriever;
    const char *reply = retriever.Retrieve(QUORVIA_MESSAGEFEED_URL, TRUE, body.c_str(), -1);
    if (!reply)
        return Reply::Unreachable;
    // An error page must never end up in the user's mail.
    DWORD status = retriever.LastStatus();
    if (status == 401 || status == 403)
        return Reply::Unauthorized;
    if (status < 200 || status > 299)
        return Reply::Unreachable;
    if (*reply == '\0')
        return Reply::Unauthorized;
    *fragment = reply;
    return Reply::Fragment;
}

int CMailItem::ExchangeInBackground(std::string *fragment)
{
    Variant inspectorValue = om::Get(m_pMailItem.Get(), L"GetInspector", IID__MailItem);
    ComPtr<IDispatch> inspector = om::AsDispatch(inspectorValue);
    if (!inspector)
        ThrowComError(E_POINTER, IID__MailItem);

    std::string body = BuildTrackingRequest();

    HiddenInspector hidden(inspector.Get());
    std::string received;
    Reply reply = RunExchange(body, &received);
    if (reply == Reply::Fragment) {
        hidden.KeepHidden();
        m_spHiddenInspector = inspector.Copy();
        m_hHiddenWindow = hidden.Window();
        *fragment = std::move(received);
        return -1;
    }
    // The window comes back first: the question is about it, and owned by it
    // it cannot hide behind Outlook.
    hidden.Restore();
    HWND owner = PromptOwner(hidden.Window());
    return reply == Reply::Unauthorized ? ShowAuthorizationPrompt(owner) : ShowContactPrompt(owner);
}

void CMailItem::ShowWindowUnlessSent()
{
    // Later: the send goes on after this event, and Outlook or another add-in
    // may still refuse it. The check holds no reference, so the item goes with
    // its window as always; a check that finds it gone does nothing.
    const unsigned hidden = ++m_nHiddenSends;
    std::weak_ptr<CMailItem *> self = m_self;
    if (!PostToOutlookThread([self, hidden] {
            if (std::shared_ptr<CMailItem *> item = self.lock())
                (*item)->RevealIfNotSubmitted(hidden);
        })) {
        m_spHiddenInspector.Reset();
        m_hHiddenWindow = nullptr;
    }
}

void CMailItem::RevealIfNotSubmitted(unsigned hiddenSend)
{
    // A later send of the same window has its own check.
    if (hiddenSend != m_nHiddenSends || !m_spHiddenInspector)
        return;
    ComPtr<CMailItem> alive = ComPtr<CMailItem>::Borrow(this);
    // An item that cannot be asked went out, or went away with its window.
    bool submitted = true;
    Variant value;
    if (SUCCEEDED(om::TryInvoke(m_pMailItem.Get(), L"Submitted", DISPATCH_PROPERTYGET, {}, value.Receive()))) {
        Variant flag;
        submitted = FAILED(VariantChangeType(flag.Get(), value.Get(), 0, VT_BOOL)) || flag.Get()->boolVal != 0;
    }
    if (submitted) {
        m_spHiddenInspector.Reset();
        m_hHiddenWindow = nullptr;
        return;
    }
    DebugLog(1, "The tracked send did not go out: the mail window is shown again\n");
    ShowWindowAgain();
}

void CMailItem::ShowWindowAgain() noexcept
{
    ComPtr<IDispatch> inspector = std::move(m_spHiddenInspector);
    HWND window = m_hHiddenWindow;
    m_hHiddenWindow = nullptr;
    if (!inspector)
        return;
    try {
        RevealInspector(inspector.Get(), window);
    } catch (...) {
        LogCaughtError("Showing the mail window again");
    }
}
