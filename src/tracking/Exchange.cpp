// The tracking exchange: the request goes out on a worker thread while the
// Outlook thread waits with the mail window hidden and keeps dispatching
// window messages, for as long as the deadline allows and the user wants.
// The worker gets only the finished request body: it must not
// touch the MAPI message (MAPI is not initialised on it) nor the account (the
// setup dialog may change it meanwhile), and it shows nothing: the questions
// come on Outlook's thread once it has finished, owned by the mail window.

#include "tracking/MailItem.h"

#include "com/Identity.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "com/PostedWork.h"
#include "http/HttpRetriever.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"
#include "tracking/ExchangeProgress.h"
#include "tracking/FragmentCheck.h"

#include <oleidl.h>

#include <algorithm>
#include <memory>

DWORD g_dwExchangeDeadlineMs = kExchangeDeadlineMs;

namespace {

constexpr LONG kOlMinimized = 1;
constexpr LONG kOlNormalWindow = 2;
// The waiting thread never blocks longer than this at a time.
constexpr DWORD kWaitSliceMs = 10;
// After this long the user is told that the message is being prepared, and may stop waiting.
constexpr DWORD kProgressAfterMs = 1500;

using Reply = CMailItem::Reply;

// What the Outlook thread and the worker share. The worker may outlive the
// wait (the user stopped waiting, or the deadline came): the last of the two
// to let go frees it.
struct ExchangeState
{
    std::string body;
    ULONGLONG deadline = 0;
    KernelHandle done;
    // Written by the worker before it sets done; read only after.
    Reply result = Reply::Unreachable;
    std::wstring fragment;
    std::string refusal; // why a reply was no fragment
};

struct WorkerStart
{
    std::shared_ptr<ExchangeState> state;
    HMODULE module; // held by the worker, so the library stays while it runs
};

DWORD WINAPI ExchangeThreadProc(LPVOID parameter)
{
    HMODULE module;
    {
        std::unique_ptr<WorkerStart> start(static_cast<WorkerStart *>(parameter));
        module = start->module;
        ExchangeState &state = *start->state;
        try {
            state.result =
                CMailItem::RequestTrackingFragment(state.body, state.deadline, &state.fragment, &state.refusal);
        } catch (...) {
            state.refusal = "the request could not be made";
            state.result = Reply::Unreachable;
        }
        SetEvent(state.done.Get());
    }
    FreeLibraryAndExitThread(module, 0);
}

// Starts the worker; false when it cannot be started.
bool StartWorker(const std::shared_ptr<ExchangeState> &state)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ExchangeThreadProc),
                            &module))
        return false;
    std::unique_ptr<WorkerStart> start(new WorkerStart{state, module});
    KernelHandle worker(CreateThread(nullptr, 0, ExchangeThreadProc, start.get(), 0, nullptr));
    if (!worker) {
        FreeLibrary(module);
        return false;
    }
    start.release(); // the worker's now
    return true;
}

enum class WaitEnd
{
    Finished,
    SendUntracked, // the user stopped waiting
    DoNotSend,
    TimedOut,
};

// Dispatches what this thread has queued, for at most one slice. A WM_QUIT
// is not ours to consume: it is noted and handed back after the wait.
void DispatchQueued(const ExchangeProgress &progress, bool &quitSeen, WPARAM &quitCode)
{
    const ULONGLONG until = GetTickCount64() + kWaitSliceMs;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quitSeen = true;
            quitCode = msg.wParam;
        } else if (!progress.Takes(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (GetTickCount64() >= until)
            break;
    }
}

// Waits for the worker while this thread goes on dispatching, waking on new
// input as soon as on the worker's end, never blocking longer than a slice.
WaitEnd WaitForExchange(const ExchangeState &state, const std::wstring &subject, HWND owner)
{
    const ULONGLONG progressAt = GetTickCount64() + kProgressAfterMs;
    ExchangeProgress progress;
    bool progressTried = false, progressShown = false;
    bool quitSeen = false;
    WPARAM quitCode = 0;
    WaitEnd end;
    HANDLE done = state.done.Get();
    for (;;) {
        if (WaitForSingleObject(done, 0) == WAIT_OBJECT_0) {
            end = WaitEnd::Finished;
            break;
        }
        if (progress.Choice() >= 0) {
            end = progress.Choice() ? WaitEnd::SendUntracked : WaitEnd::DoNotSend;
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= state.deadline) {
            end = WaitEnd::TimedOut;
            break;
        }
        // Made in one turn and shown in the next, with what came meanwhile
        // dispatched in between.
        if (progressTried && !progressShown && progress.IsMade()) {
            progressShown = true;
            progress.Show();
        }
        if (!progressTried && now >= progressAt) {
            progressTried = true; // a window that cannot be made is not tried again each slice
            progress.Create(owner ? owner : GetActiveWindow(), subject);
        }
        ULONGLONG wait = std::min<ULONGLONG>(kWaitSliceMs, state.deadline - now);
        if (progressTried && !progressShown && progress.IsMade())
            wait = 0;
        else if (!progressTried)
            wait = std::min<ULONGLONG>(wait, progressAt - now);
        MsgWaitForMultipleObjectsEx(1, &done, static_cast<DWORD>(wait), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        DispatchQueued(progress, quitSeen, quitCode);
    }
    if (quitSeen)
        PostQuitMessage(static_cast<int>(quitCode));
    return end;
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
    // A null inspector hides nothing.
    explicit HiddenInspector(IDispatch *inspector) : m_inspector(inspector)
    {
        if (!inspector)
            return;
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
        if (m_inspector)
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

CMailItem::Reply CMailItem::RequestTrackingFragment(const std::string &body, ULONGLONG deadline,
                                                    std::wstring *fragment, std::string *refusal)
{
    HttpRetriever retriever;
    retriever.SetDeadline(deadline);
    retriever.SetReplyLimit(kFragmentLimit);
    const char *reply = retriever.Retrieve(QUORVIA_MESSAGEFEED_URL, TRUE, body.c_str(), -1);
    if (!reply)
        return Reply::Unreachable;
    DWORD status = retriever.LastStatus();
    if (status == 401 || status == 403)
        return Reply::Unauthorized;
    if (retriever.Reply().empty() && retriever.ReplyComplete() && status >= 200 && status <= 299)
        return Reply::Unauthorized;
    // Only a real fragment may go into the user's mail: no error page, no
    // redirect's reply, nothing cut short, nothing that runs or hides.
    ServiceReply answer;
    answer.status = status;
    answer.body = retriever.Reply();
    answer.complete = retriever.ReplyComplete();
    answer.cut = retriever.ReplyCut();
    answer.contentEncoding = retriever.ContentEncoding();
    answer.contentType = retriever.ContentType();
    std::optional<std::wstring> text = CheckFragment(answer, refusal);
    if (!text)
        return Reply::Unreachable;
    *fragment = std::move(*text);
    return Reply::Fragment;
}

int CMailItem::ExchangeInBackground(std::wstring *fragment)
{
    // An inline response is part of Outlook's main window, which must stay:
    // nothing is hidden, and nothing asks for an Inspector it may not have.
    ComPtr<IDispatch> inspector;
    if (!m_bKeepWindowShown) {
        Variant inspectorValue = om::Get(m_pMailItem.Get(), L"GetInspector", IID__MailItem);
        inspector = om::AsDispatch(inspectorValue);
        if (!inspector)
            ThrowComError(E_POINTER, IID__MailItem);
    }

    auto state = std::make_shared<ExchangeState>();
    std::wstring subject;
    state->body = BuildTrackingRequest(&subject);
    state->done.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));

    HiddenInspector hidden(inspector.Get());
    state->deadline = GetTickCount64() + g_dwExchangeDeadlineMs;
    Reply reply = Reply::Unreachable;
    if (!state->done || !StartWorker(state)) {
        DebugLog(1, "Tracking exchange: no worker (error %lu)\n", GetLastError());
    } else {
        switch (WaitForExchange(*state, subject, m_bKeepWindowShown ? m_hOwner : nullptr)) {
        case WaitEnd::Finished:
            reply = state->result;
            if (!state->refusal.empty())
                DebugLog(1, "Tracking reply refused: %s\n", state->refusal.c_str());
            break;
        case WaitEnd::SendUntracked:
            DebugLog(1, "Tracking exchange: the user chose to send without tracking\n");
            hidden.Restore();
            return 1;
        case WaitEnd::DoNotSend:
            DebugLog(1, "Tracking exchange: the user chose not to send\n");
            hidden.Restore();
            return 0;
        case WaitEnd::TimedOut:
            DebugLog(1, "Tracking exchange: no answer within %lu ms\n", (unsigned long)g_dwExchangeDeadlineMs);
            break;
        }
    }
    if (reply == Reply::Fragment) {
        hidden.KeepHidden();
        if (inspector) {
            m_spHiddenInspector = inspector.Copy();
            m_hHiddenWindow = hidden.Window();
        }
        *fragment = state->fragment;
        return -1;
    }
    // The window comes back first: the question is about it, and owned by it
    // it cannot hide behind Outlook.
    hidden.Restore();
    HWND owner = PromptOwner(m_bKeepWindowShown ? m_hOwner : hidden.Window());
    return reply == Reply::Unauthorized ? ShowAuthorizationPrompt(owner) : ShowContactPrompt(owner);
}

void CMailItem::ShowWindowUnlessSent()
{
    // Later: the send goes on after this event, and Outlook or another add-in
    // may still refuse it. The check holds no reference, so the item goes with
    // its window as always; a check that finds it gone does nothing.
    if (!m_spHiddenInspector)
        return; // nothing was hidden
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
