// CTrackingButtonHandler: owner of a mail window's Tracking toggle. The switch
// it holds is what the window's tracked mail item asks at every send.
#pragma once

#include <windows.h>

class CTrackingButtonHandler
{
public:
    CTrackingButtonHandler() = default;

    LONG AddRef() { return ++m_cRef; }
    LONG Release()
    {
        LONG count = --m_cRef;
        if (count == 0)
            delete this;
        return count;
    }

    // 1 while tracking is on for the window, 0 while it is off.
    int IsTrackingOn() const { return m_bTracking; }
    void SetTracking(int on) { m_bTracking = on ? 1 : 0; }

private:
    ~CTrackingButtonHandler() = default;

    LONG m_cRef = 1;
    int m_bTracking = 0;
};
