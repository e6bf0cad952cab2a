// The Tracking toggle and the Setup button.

#include "buttons/SetupButtonHandler.h"
#include "buttons/TrackingButtonHandler.h"

#include "buttons/ButtonFace.h"
#include "com/ComError.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "settings/SetupDialog.h"

#include <oleidl.h>

namespace {

constexpr WORD kFaceImage = 101;
constexpr WORD kFaceMask = 102;
constexpr COLORREF kFaceTransparent = RGB(0, 128, 128);
constexpr LONG kButtonUp = 0;
constexpr LONG kButtonDown = -1;

void PutText(IDispatch *control, const wchar_t *property, const wchar_t *text)
{
    BStr value = BStr::FromWide(text);
    if (!value.Get())
        ThrowComError(E_OUTOFMEMORY);
    om::Put(control, property, Variant::Str(std::move(value)), IID_CommandBarControl);
}

} // namespace

ComPtr<IDispatch> CTrackingButtonHandler::CreateButton(IDispatch *commandBar, const char *tagPrefix)
{
    ComPtr<IDispatch> button = CButtonHandler::CreateButton(commandBar, tagPrefix);
    SetButtonFace(button.Get(), kFaceImage, kFaceMask, kFaceTransparent);

    // Set the opposite of the switch's state; the click below turns it round and
    // brings caption, tooltip, switch and stored value into line.
    LONG initial = m_switch->IsTrackingOn() ? kButtonUp : kButtonDown;
    if (!button)
        ThrowComError(E_POINTER, IID__CommandBarButton);
    om::Put(button.Get(), L"State", Variant::I4(initial), IID__CommandBarButton);
    OnClick(button.Copy());
    return button;
}

void CTrackingButtonHandler::OnClick(ComPtr<IDispatch> button)
{
    if (!button)
        ThrowComError(E_POINTER, IID__CommandBarButton);

    // When the button's state cannot be read, the switch says what it shows.
    LONG state = m_switch->IsTrackingOn() ? kButtonDown : kButtonUp;
    Variant current;
    if (SUCCEEDED(om::TryInvoke(button.Get(), L"State", DISPATCH_PROPERTYGET, {}, current.Receive()))) {
        Variant asInteger;
        if (SUCCEEDED(VariantChangeType(asInteger.Get(), current.Get(), 0, VT_I4)))
            state = asInteger.Get()->lVal;
    }

    const bool turnOn = state != kButtonDown;
    const wchar_t *text = turnOn ? L"Quorvia Message Tracking On" : L"Quorvia Message Tracking Off";
    const LONG newState = turnOn ? kButtonDown : kButtonUp;
    PutText(button.Get(), L"Caption", text);
    PutText(button.Get(), L"TooltipText", text);
    // Only once the button shows it: a click that fails on the way changes no switch.
    m_switch->Set(turnOn);
    Variant stateValue = Variant::I4(newState);
    Variant ignored;
    om::TryInvoke(button.Get(), L"State", DISPATCH_PROPERTYPUT, {stateValue.Get()}, ignored.Receive());
}

CSetupButtonHandler::CSetupButtonHandler(IDispatch *application, IDispatch *trackingButton, AccountPtr account)
    : m_spTrackingButton(ComPtr<IDispatch>::Borrow(trackingButton)),
      m_spApplication(ComPtr<IDispatch>::Borrow(application)), m_account(std::move(account))
{
}

ComPtr<IDispatch> CSetupButtonHandler::CreateButton(IDispatch *commandBar, const char *tagPrefix)
{
    ComPtr<IDispatch> button = CButtonHandler::CreateButton(commandBar, tagPrefix);
    SetButtonFace(button.Get(), kFaceImage, kFaceMask, kFaceTransparent);
    if (!button)
        ThrowComError(E_POINTER, IID__CommandBarButton);
    PutText(button.Get(), L"Caption", L"Setup");
    UpdateTrackingVisibility();
    return button;
}

void CSetupButtonHandler::OnClick(ComPtr<IDispatch>)
{
    if (!m_spApplication)
        ThrowComError(E_POINTER, IID__Application);
    ComPtr<IDispatch> inspector = om::AsDispatch(om::Call(m_spApplication.Get(), L"ActiveInspector", IID__Application));
    if (!inspector)
        ThrowComError(E_POINTER, IID__Application);

    HWND owner = nullptr;
    ComPtr<IOleWindow> window;
    if (SUCCEEDED(inspector->QueryInterface(IID_IOleWindow, window.ReceiveVoid())) && window)
        window->GetWindow(&owner);
    else
        owner = GetForegroundWindow();

    if (m_account)
        RunSetupDialog(owner, *m_account);
    UpdateTrackingVisibility();
}

void CSetupButtonHandler::UpdateTrackingVisibility()
{
    bool configured = m_account && m_account->IsComplete();
    if (!m_spTrackingButton)
        ThrowComError(E_POINTER, IID_CommandBarControl);
    om::Put(m_spTrackingButton.Get(), L"Visible", Variant::Bool(configured), IID_CommandBarControl);
}
