#include "tracking/TrackingSwitch.h"

#include "com/ComPtr.h"
#include "settings/Settings.h"

#include <map>

namespace {

constexpr DWORD kStoredOn = 0xFFFFFFFF;

// The windows whose switches are known, by the identity of their IUnknown.
std::map<IUnknown *, TrackingSwitchPtr> &Windows()
{
    static std::map<IUnknown *, TrackingSwitchPtr> windows;
    return windows;
}

// The COM identity of an object: the same for every interface pointer to it.
IUnknown *IdentityOf(IDispatch *object)
{
    if (!object)
        return nullptr;
    ComPtr<IUnknown> unknown;
    if (FAILED(object->QueryInterface(IID_IUnknown, unknown.ReceiveVoid())))
        return nullptr;
    return unknown.Get(); // only compared, never used: the window holds it
}

} // namespace

bool CTrackingSwitch::StoredDefault()
{
    DWORD stored = 0;
    CSettings().ReadDword(L"Tracking", &stored);
    return stored == kStoredOn;
}

TrackingSwitchPtr CTrackingSwitch::FromStoredDefault()
{
    return TrackingSwitchPtr(new CTrackingSwitch(StoredDefault()));
}

void CTrackingSwitch::Set(bool on)
{
    m_bOn = on;
    CSettings().WriteDword(L"Tracking", on ? kStoredOn : 0);
}

TrackingSwitchPtr CTrackingSwitch::ForWindow(IDispatch *window)
{
    IUnknown *identity = IdentityOf(window);
    auto found = identity ? Windows().find(identity) : Windows().end();
    return found == Windows().end() ? nullptr : found->second;
}

WindowSwitch::WindowSwitch(IDispatch *window, TrackingSwitchPtr trackingSwitch) : m_identity(IdentityOf(window))
{
    if (m_identity && trackingSwitch)
        Windows()[m_identity] = std::move(trackingSwitch);
    else
        m_identity = nullptr;
}

WindowSwitch::~WindowSwitch()
{
    if (m_identity)
        Windows().erase(m_identity);
}
