#include "host/OleWindow.h"

#include "host/CallLog.h"
#include "host/Faults.h"

namespace host {
namespace {

const char kWindowClass[] = "QuorviaHostInspector";

class OleWindowFacet final : public Facet, public IOleWindow
{
public:
    OleWindowFacet(DispObject &owner, const HWND &window) : Facet(owner), m_window(window) {}

    void *InterfaceFor(REFIID iid) override
    {
        return IsEqualIID(iid, IID_IOleWindow) ? static_cast<IOleWindow *>(this) : nullptr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override
    {
        return Owner().QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Owner().AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Owner().Release(); }

    HRESULT STDMETHODCALLTYPE GetWindow(HWND *phwnd) override
    {
        CallRecord record;
        record.object = Owner().Name();
        record.member = "GetWindow";
        record.kind = CallKind::Other;
        CallScope call(std::move(record));
        if (!phwnd)
            return call.Finish(E_POINTER);
        *phwnd = nullptr;
        HRESULT injected = Faults::Check(Owner().Name(), "GetWindow");
        if (FAILED(injected))
            return call.Finish(injected);
        *phwnd = m_window;
        return call.Finish(m_window ? S_OK : E_FAIL);
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

private:
    const HWND &m_window;
};

} // namespace

HWND CreateHostWindow(const char *title, bool shown)
{
    static const ATOM atom = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kWindowClass;
        return RegisterClassA(&wc);
    }();
    (void)atom;
    HWND window = CreateWindowExA(0, kWindowClass, title, WS_OVERLAPPEDWINDOW, 10, 10, 640, 480, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (window && shown)
        ShowWindow(window, SW_SHOWNORMAL);
    return window;
}

std::unique_ptr<Facet> NewOleWindowFacet(DispObject &owner, const HWND &window)
{
    return std::unique_ptr<Facet>(new OleWindowFacet(owner, window));
}

} // namespace host
