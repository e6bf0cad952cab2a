// CSetupButtonHandler: the Setup button of a mail window. It runs the account
// dialog over the window and shows the Tracking button only while an account
// is configured.
#pragma once

#include "buttons/ButtonHandler.h"
#include "settings/Account.h"

class CSetupButtonHandler final : public CButtonHandler
{
public:
    CSetupButtonHandler(IDispatch *application, IDispatch *trackingButton, AccountPtr account);

    ComPtr<IDispatch> CreateButton(IDispatch *commandBar, const char *tagPrefix) override;
    void OnClick(ComPtr<IDispatch> button) override;

    void UpdateTrackingVisibility();

private:
    ~CSetupButtonHandler() override = default;

    ComPtr<IDispatch> m_spTrackingButton;
    ComPtr<IDispatch> m_spApplication;
    AccountPtr m_account;
};
