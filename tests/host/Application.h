// The stand-in Outlook Application object: what the add-in receives in
// OnConnection. Answers _Application, Name ("Outlook") and its
// ApplicationEvents connection point.
#pragma once

#include "host/ConnectionPoints.h"
#include "host/DispObject.h"

namespace host {

class Application : public DispObject
{
public:
    Application();

    EventSource &Events() { return *m_events; }

protected:
    ~Application() override = default;

private:
    EventSource *m_events;
};

} // namespace host
