// CTrackingButtonHandler: the Tracking toggle of a mail window. Its switch is
// what the window's tracked mail item asks at every send; each toggle is also
// stored as the default for windows opened later.
#pragma once

#include "buttons/ButtonHandler.h"

class CTrackingButtonHandler final : public CButtonHandler
{
public:
    CTrackingButtonHandler() = default;

    ComPtr<IDispatch> CreateButton(IDispatch *commandBar, const char *tagPrefix) override;
    void OnClick(ComPtr<IDispatch> button) override;

    // 1 while tracking is on for the window, 0 while it is off.
    int IsTrackingOn() const { return m_bTracking; }

private:
    ~CTrackingButtonHandler() override = default;

    int m_bTracking = 0;
};
