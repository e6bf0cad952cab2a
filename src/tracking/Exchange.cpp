// The tracking exchange: the request goes out on a worker thread while the
// Outlook thread waits with the mail window hidden and keeps dispatching
// window messages. The worker gets only the finished request body: it must not
// touch the MAPI message (MAPI is not initialised on it) nor the account (the
// setup dialog may change it meanwhile).

#include "tracking/MailItem.h"

#include "addin/Identity.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "http/HttpRetriever.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"

#include <oleidl.h>

namespace {

constexpr LONG kOlMinimized = 1;
constexpr LONG kOlNormalWindow = 2;
constexpr DWORD kWaitSliceMs = 10;

struct ExchangeParams
{
    int result;
    std::string *fragment;
    const std::string *body;
    HANDLE done;
};

DWORD WINAPI ExchangeThreadProc(LPVOID parameter)
{
    ExchangeParams *params = static_cast<ExchangeParams *>(parameter);
    int result;
    try {
        result = CMailItem::RequestTrackingFragment(*params->body, params->fragment);
    } catch (...) {
        LogCaughtError("Tracking exchange");
        result = ShowContactPrompt();
    }
    params->result = result;
    SetEvent(params->done);
    return 0;
}

// Runs the exchange on a worker and pumps this thread's messages meanwhile,
// never blocking longer than one slice and dispatching at most one message per slice.
int RunExchange(const std::string &body, std::string *fragment)
{
    KernelHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!done) {
        DebugLog(1, "Tracking exchange: no event (error %lu)\n", GetLastError());
        return ShowContactPrompt();
    }
    ExchangeParams params = {0, fragment, &body, done.Get()};
    KernelHandle worker(CreateThread(nullptr, 0, ExchangeThreadProc, &params, 0, nullptr));
    if (!worker) {
        DebugLog(1, "Tracking exchange: no worker thread (error %lu)\n", GetLastError());
        return ShowContactPrompt();
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

int AskUser(const char *text)
{
    return MessageBoxA(GetDesktopWindow(), text, QUORVIA_CAPTION, MB_YESNO | MB_ICONWARNING) == IDYES ? 1 : 0;
}

} // namespace

int ShowContactPrompt()
{
    return AskUser("Unable to contact to Quorvia server. Do you want to send message without tracking capability?");
}

int ShowAuthorizationPrompt()
{
    return AskUser(
        "Unable to authorize on Quorvia server. Do you want to send message without tracking capability?");
}

int CMailItem::RequestTrackingFragment(const std::string &body, std::string *fragment)
{
    HttpRetriever retriever;
    const char *reply = retriever.Retrieve(QUORVIA_MESSAGEFEED_URL, TRUE, body.c_str(), -1);
    if (!reply)
        return ShowContactPrompt();
    // An error page must never end up in the user's mail.
    DWORD status = retriever.LastStatus();
    if (status == 401 || status == 403)
        return ShowAuthorizationPrompt();
    if (status < 200 || status > 299)
        return ShowContactPrompt();
    if (*reply == '\0')
        return ShowAuthorizationPrompt();
    *fragment = reply;
    return -1;
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
    int outcome = RunExchange(body, &received);
    if (outcome == -1) {
        hidden.KeepHidden();
        m_spHiddenInspector = inspector.Copy();
        m_hHiddenWindow = hidden.Window();
        *fragment = std::move(received);
    } else {
        hidden.Restore();
    }
    return outcome;
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
