#include "buttons/Ribbon.h"

#include "com/Guids.h"
#include "com/Module.h"
#include "com/ObjectModel.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"
#include "resources/resource.h"
#include "settings/SetupDialog.h"
#include "tracking/TrackingSwitch.h"

#include <oleidl.h>
#include <olectl.h>

namespace {

const wchar_t kTrackingControl[] = L"QuorviaTracking";

struct Callback
{
    const wchar_t *name;
    DISPID id;
    UINT arguments;
};

enum : DISPID
{
    kOnLoad = 1,
    kGetPressed,
    kOnToggle,
    kOnSetup,
    kGetVisible,
    kGetImage,
};

// The names the ribbon's XML gives its callbacks.
const Callback kCallbacks[] = {
    {L"OnRibbonLoad", kOnLoad, 1},          {L"GetTrackingPressed", kGetPressed, 1},
    {L"OnTrackingToggle", kOnToggle, 2},    {L"OnSetup", kOnSetup, 1},
    {L"GetTrackingVisible", kGetVisible, 1}, {L"GetButtonImage", kGetImage, 1},
};

const Callback *Find(DISPID id)
{
    for (const Callback &callback : kCallbacks)
        if (callback.id == id)
            return &callback;
    return nullptr;
}

// An object argument as Office passes it, by value or by reference.
ComPtr<IDispatch> ObjectArgument(const VARIANT &value)
{
    IUnknown *object = nullptr;
    if (value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN)
        object = value.punkVal;
    else if (value.vt == (VT_DISPATCH | VT_BYREF) || value.vt == (VT_UNKNOWN | VT_BYREF))
        object = value.ppunkVal ? *value.ppunkVal : nullptr;
    ComPtr<IDispatch> dispatch;
    if (object)
        object->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid());
    return dispatch;
}

// The window a control belongs to: its Context.
ComPtr<IDispatch> WindowOf(IDispatch *control)
{
    return om::AsDispatch(om::Get(control, L"Context", IID_IRibbonControl));
}

// The add-in's face, 32 x 32, with what its mask leaves out transparent: a
// 32-bit picture, whose alpha the ribbon honours.
ComPtr<IDispatch> FaceImage()
{
    GdiObject face(LoadImageW(g_hModule, MAKEINTRESOURCEW(IDB_FACE), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    GdiObject mask(LoadImageW(g_hModule, MAKEINTRESOURCEW(IDB_MASK), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    BITMAP size = {};
    if (!face || !mask || !GetObjectW(face.Get(), sizeof size, &size))
        return ComPtr<IDispatch>();
    const int width = size.bmWidth, height = size.bmHeight;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> facePixels(width * height), maskPixels(width * height);
    HDC screen = GetDC(nullptr);
    const bool read = GetDIBits(screen, static_cast<HBITMAP>(face.Get()), 0, height, facePixels.data(), &info,
                                DIB_RGB_COLORS) == height &&
                      GetDIBits(screen, static_cast<HBITMAP>(mask.Get()), 0, height, maskPixels.data(), &info,
                                DIB_RGB_COLORS) == height;
    ReleaseDC(nullptr, screen);
    void *bits = nullptr;
    GdiObject image(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!read || !image || !bits)
        return ComPtr<IDispatch>();
    DWORD *out = static_cast<DWORD *>(bits);
    for (int i = 0; i < width * height; ++i)
        out[i] = (maskPixels[i] & 0xFFFFFF) == 0 ? 0xFF000000 | (facePixels[i] & 0xFFFFFF) : 0; // black: the face shows
    PICTDESC description = {};
    description.cbSizeofstruct = sizeof description;
    description.picType = PICTYPE_BITMAP;
    description.bmp.hbitmap = static_cast<HBITMAP>(image.Get());
    ComPtr<IDispatch> picture;
    if (FAILED(OleCreatePictureIndirect(&description, IID_IPictureDisp, TRUE, picture.ReceiveVoid())) || !picture)
        return ComPtr<IDispatch>();
    image.Release(); // the picture owns it now
    return picture;
}

void ReturnBool(VARIANT *result, bool value)
{
    if (!result)
        return;
    VariantInit(result);
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

} // namespace

std::wstring CRibbon::CustomUI(const wchar_t *ribbonId)
{
    WORD resource = 0;
    if (ribbonId && wcscmp(ribbonId, L"Microsoft.Outlook.Mail.Compose") == 0)
        resource = IDR_RIBBON_COMPOSE;
    else if (ribbonId && wcscmp(ribbonId, L"Microsoft.Outlook.Explorer") == 0)
        resource = IDR_RIBBON_EXPLORER;
    if (!resource)
        return std::wstring();
    HRSRC found = FindResourceW(g_hModule, MAKEINTRESOURCEW(resource), L"RIBBON_XML");
    HGLOBAL loaded = found ? LoadResource(g_hModule, found) : nullptr;
    const char *xml = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    if (!xml)
        return std::wstring();
    const int size = static_cast<int>(SizeofResource(g_hModule, found));
    std::wstring text(MultiByteToWideChar(CP_UTF8, 0, xml, size, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, xml, size, &text[0], static_cast<int>(text.size()));
    return text;
}

DISPID CRibbon::CallbackId(const wchar_t *name)
{
    for (const Callback &callback : kCallbacks)
        if (name && _wcsicmp(name, callback.name) == 0)
            return callback.id;
    return DISPID_UNKNOWN;
}

HRESULT CRibbon::Invoke(DISPID id, const DISPPARAMS *params, VARIANT *result)
{
    const Callback *callback = Find(id);
    if (!callback)
        return DISP_E_MEMBERNOTFOUND;
    if (!params || params->cArgs != callback->arguments || !params->rgvarg)
        return DISP_E_BADPARAMCOUNT;
    // Arguments arrive last to first: the control (or the ribbon) is the last one.
    ComPtr<IDispatch> object = ObjectArgument(params->rgvarg[params->cArgs - 1]);
    if (!object)
        return DISP_E_TYPEMISMATCH;
    DebugLog(1, "Ribbon Callback: %ls (%04X)\n", callback->name, (unsigned)id);
    // A getter always answers its type: "off" and "hidden" when its window
    // cannot be asked, which Office takes, where an empty answer is an error.
    if (id == kGetPressed || id == kGetVisible)
        ReturnBool(result, false);
    try {
        switch (id) {
        case kOnLoad:
            OnLoad(object.Get());
            break;
        case kGetPressed:
            ReturnBool(result, IsPressed(object.Get()));
            break;
        case kOnToggle: {
            VARIANT pressed;
            VariantInit(&pressed);
            if (FAILED(VariantChangeType(&pressed, &params->rgvarg[0], 0, VT_BOOL)))
                return DISP_E_TYPEMISMATCH;
            OnToggle(object.Get(), pressed.boolVal != VARIANT_FALSE);
            break;
        }
        case kOnSetup:
            OnSetup(object.Get());
            break;
        case kGetVisible:
            // As on the command bar: no account, no tracking.
            ReturnBool(result, m_account && m_account->IsComplete());
            break;
        case kGetImage:
            if (result) {
                VariantInit(result);
                if (ComPtr<IDispatch> picture = FaceImage()) {
                    result->vt = VT_DISPATCH;
                    result->pdispVal = picture.Detach();
                }
            }
            break;
        }
    } catch (...) {
        LogCaughtError("Ribbon callback");
    }
    return S_OK;
}

void CRibbon::OnLoad(IDispatch *ribbonUi)
{
    m_ribbonUis.push_back(ComPtr<IDispatch>::Borrow(ribbonUi));
}

bool CRibbon::IsPressed(IDispatch *control)
{
    TrackingSwitchPtr trackingSwitch = CTrackingSwitch::ForWindow(WindowOf(control).Get());
    return trackingSwitch && trackingSwitch->IsTrackingOn();
}

void CRibbon::OnToggle(IDispatch *control, bool pressed)
{
    if (TrackingSwitchPtr trackingSwitch = CTrackingSwitch::ForWindow(WindowOf(control).Get()))
        trackingSwitch->Set(pressed);
    else
        DebugLog(1, "Ribbon: the control's window composes no mail the add-in knows\n");
    // Shows what the switch says, also when there was none to turn.
    InvalidateTracking();
}

void CRibbon::OnSetup(IDispatch *control)
{
    HWND owner = nullptr;
    ComPtr<IDispatch> window = WindowOf(control);
    ComPtr<IOleWindow> oleWindow;
    if (window && SUCCEEDED(window->QueryInterface(IID_IOleWindow, oleWindow.ReceiveVoid())) && oleWindow)
        oleWindow->GetWindow(&owner);
    if (!owner)
        owner = GetForegroundWindow();
    if (m_account)
        RunSetupDialog(owner, *m_account);
    // The toggle shows only with a complete account.
    InvalidateTracking();
}

void CRibbon::InvalidateTracking()
{
    for (const ComPtr<IDispatch> &ribbonUi : m_ribbonUis) {
        BStr id = BStr::FromWide(kTrackingControl);
        Variant name = Variant::Str(std::move(id));
        Variant ignored;
        om::TryInvoke(ribbonUi.Get(), L"InvalidateControl", DISPATCH_METHOD, {name.Get()}, ignored.Receive());
    }
}
