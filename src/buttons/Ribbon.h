// CRibbon: the add-in's group on the ribbon of Office 2007 and later: a
// Tracking toggle and a Setup button on a compose window's Message tab, and
// the same on the Message tab of an inline response in Outlook's main window.
// Office calls its callbacks by name through the add-in object's IDispatch;
// each names its window by the control's Context (the Inspector, or the
// Explorer of an inline response), whose tracking switch the toggle shows and
// turns. Outlook's thread only.
#pragma once

#include "com/ComPtr.h"
#include "settings/Account.h"

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

class CRibbon
{
public:
    explicit CRibbon(AccountPtr account) : m_account(std::move(account)) {}

    // The XML for a kind of ribbon ("Microsoft.Outlook.Mail.Compose",
    // "Microsoft.Outlook.Explorer"); empty for every other kind.
    static std::wstring CustomUI(const wchar_t *ribbonId);

    // The callbacks by name, as GetIDsOfNames answers them; DISPID_UNKNOWN
    // for a name that is none of them.
    static DISPID CallbackId(const wchar_t *name);
    // Runs a callback with Office's arguments (last to first); S_OK once it
    // has run, whatever happened inside, so that Office shows the user no
    // error of ours. DISP_E_MEMBERNOTFOUND for an unknown id,
    // DISP_E_BADPARAMCOUNT or DISP_E_TYPEMISMATCH for wrong arguments.
    HRESULT Invoke(DISPID id, const DISPPARAMS *params, VARIANT *result);

    // Office's ribbon objects are let go when the add-in disconnects.
    void Release() { m_ribbonUis.clear(); }

private:
    void OnLoad(IDispatch *ribbonUi);
    bool IsPressed(IDispatch *control);
    void OnToggle(IDispatch *control, bool pressed);
    void OnSetup(IDispatch *control);
    // Has every loaded ribbon ask again for what the toggle shows.
    void InvalidateTracking();

    AccountPtr m_account;
    std::vector<ComPtr<IDispatch>> m_ribbonUis; // one per kind of ribbon loaded
};
