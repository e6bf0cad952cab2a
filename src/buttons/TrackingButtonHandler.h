// CTrackingButtonHandler: the Tracking toggle of a mail window on its command
// bar: a view of the window's tracking switch that turns it at each click.
#pragma once

#include "buttons/ButtonHandler.h"
#include "tracking/TrackingSwitch.h"

class CTrackingButtonHandler final : public CButtonHandler
{
public:
    explicit CTrackingButtonHandler(TrackingSwitchPtr trackingSwitch) : m_switch(std::move(trackingSwitch)) {}

    ComPtr<IDispatch> CreateButton(IDispatch *commandBar, const char *tagPrefix) override;
    void OnClick(ComPtr<IDispatch> button) override;

    // 1 while tracking is on for the window, 0 while it is off.
    int IsTrackingOn() const { return m_switch->IsTrackingOn(); }
    const TrackingSwitchPtr &Switch() const { return m_switch; }

private:
    ~CTrackingButtonHandler() override = default;

    TrackingSwitchPtr m_switch;
};
