#include "buttons/ButtonHandler.h"

#include "com/Module.h"
#include "com/ComError.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"

#include <cstdio>
#include <new>

namespace {

constexpr DISPID kClick = 1;
constexpr LONG kMsoControlButton = 1;
constexpr LONG kMsoControlOLEUsageNeither = 0;

// The handler's address where it fits the eight digits of the tag; on 64-bit
// Windows addresses don't, so a serial number stands in, unique among live handlers.
DWORD NextIdentity(const void *self)
{
#if defined(_WIN64)
    (void)self;
    static DWORD s_serial = 0;
    return ++s_serial;
#else
    return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(self));
#endif
}

} // namespace

CButtonHandler::CButtonHandler() : m_dwIdentity(NextIdentity(this))
{
    ++g_lMyObjects;
    DebugLog(1, "CButtonHandler, g_lMyObjects=%ld\n", (long)g_lMyObjects);
}

CButtonHandler::~CButtonHandler()
{
    if (m_ppRememberedBy && *m_ppRememberedBy == this)
        *m_ppRememberedBy = nullptr;
    --g_lMyObjects;
    DebugLog(1, "~CButtonHandler, g_lMyObjects=%ld\n", (long)g_lMyObjects);
}

HRESULT STDMETHODCALLTYPE CButtonHandler::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, DIID__CommandBarButtonEvents) || IsEqualIID(riid, IID_IUnknown) ||
        IsEqualIID(riid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CButtonHandler::AddRef()
{
    DebugLog(2, "CButtonHandler::AddRef : count=%i\n", (int)(m_cRef + 1));
    return ++m_cRef;
}

ULONG STDMETHODCALLTYPE CButtonHandler::Release()
{
    if (m_cRef == 1)
        FreeEvents();
    DebugLog(2, "CButtonHandler::Release : count=%i\n", (int)(m_cRef - 1));
    ULONG count = --m_cRef;
    if (count != 0)
        return count;
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CButtonHandler::GetTypeInfoCount(UINT *pctinfo)
{
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CButtonHandler::GetTypeInfo(UINT, LCID, ITypeInfo **ppTInfo)
{
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CButtonHandler::GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID,
                                                        DISPID *rgDispId)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (!rgDispId || !rgszNames)
        return E_POINTER;
    if (cNames != 1)
        return E_INVALIDARG;
    rgDispId[0] = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CButtonHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD,
                                                 DISPPARAMS *pDispParams, VARIANT *, EXCEPINFO *, UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (dispIdMember != kClick)
        return DISP_E_MEMBERNOTFOUND;
    if (!pDispParams)
        return E_POINTER;
    if (pDispParams->cArgs != 2)
        return DISP_E_BADPARAMCOUNT;
    // Arguments arrive last to first: Ctrl, the clicked button, is element 1.
    const VARIANT &ctrl = pDispParams->rgvarg[1];
    if (ctrl.vt != VT_DISPATCH)
        return S_OK;

    // A failing click must never raise into Office: it is logged and does nothing more.
    try {
        ComPtr<IDispatch> button = om::QueryOptional<IDispatch>(ctrl.pdispVal, IID__CommandBarButton);
        OnClick(std::move(button));
    } catch (...) {
        LogCaughtError("Button click");
    }
    return S_OK;
}

ComPtr<IDispatch> CButtonHandler::CreateButton(IDispatch *commandBar, const char *tagPrefix)
{
    char tag[300];
    snprintf(tag, sizeof tag, "%s%08X", tagPrefix, (unsigned)m_dwIdentity);
    BStr wideTag = BStr::FromWide(WideFromAnsi(tag).c_str());
    BStr widePrefix = BStr::FromWide(WideFromAnsi(tagPrefix).c_str());
    if (!wideTag.Get() || !widePrefix.Get())
        ThrowComError(E_OUTOFMEMORY);

    if (!commandBar)
        ThrowComError(E_POINTER, IID_CommandBar);
    Variant missing = Variant::Missing();
    Variant prefix = Variant::Str(BStr::FromWide(widePrefix.Get()));
    if (!prefix.Get()->bstrVal)
        ThrowComError(E_OUTOFMEMORY);
    Variant found = om::Call(commandBar, L"FindControl", IID_CommandBar,
                             {missing.Get(), missing.Get(), prefix.Get(), missing.Get(), missing.Get()});

    ComPtr<IDispatch> button;
    ComPtr<IUnknown> control = om::AsUnknown(found);
    if (control) {
        button = om::QueryOptional<IDispatch>(control.Get(), IID__CommandBarButton);
    } else {
        ComPtr<IDispatch> controls = om::AsDispatch(om::Get(commandBar, L"Controls", IID_CommandBar));
        if (!controls)
            ThrowComError(E_POINTER, IID_CommandBar);
        Variant type = Variant::I4(kMsoControlButton);
        Variant temporary = Variant::I2(-1);
        Variant added = om::Call(controls.Get(), L"Add", IID_CommandBarControls,
                                 {type.Get(), missing.Get(), prefix.Get(), missing.Get(), temporary.Get()});
        button = om::QueryOptional<IDispatch>(om::AsUnknown(added).Get(), IID__CommandBarButton);
        if (!button)
            ThrowComError(E_POINTER, IID__CommandBarButton);
        om::Put(button.Get(), L"Visible", Variant::Bool(true), IID_CommandBarControl);
        om::Put(button.Get(), L"OLEUsage", Variant::I4(kMsoControlOLEUsageNeither), IID_CommandBarControl);
    }

    if (!button)
        ThrowComError(E_POINTER, IID__CommandBarButton);
    om::Put(button.Get(), L"Tag", Variant::Str(BStr::FromWide(wideTag.Get())), IID_CommandBarControl);
    om::Put(button.Get(), L"Parameter", Variant::Str(BStr::FromWide(wideTag.Get())), IID_CommandBarControl);
    SinkEvents(button.Get());
    return button;
}

void CButtonHandler::SinkEvents(IDispatch *button)
{
    if (!button)
        ThrowComError(E_POINTER, IID__CommandBarButton);
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(button->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid())) || !container)
        return;
    if (FAILED(container->FindConnectionPoint(DIID__CommandBarButtonEvents, &m_pConnection)) || !m_pConnection) {
        m_pConnection = nullptr;
        return;
    }
    DebugLog(2, "CButtonHandler::SinkEvents: QueryInterface\n");
    IUnknown *self = nullptr;
    QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&self));
    if (self) {
        DebugLog(2, "CButtonHandler::SinkEvents: m_pConnection->Advise\n");
        m_pConnection->Advise(self, &m_dwCookie);
        DebugLog(2, "CButtonHandler::SinkEvents: m_pConnection->Advise done\n");
        Release();
    }
}

void CButtonHandler::FreeEvents()
{
    if (m_pConnection) {
        AddRef();
        m_pConnection->Unadvise(m_dwCookie);
        m_pConnection->Release();
    }
    m_pConnection = nullptr;
}
