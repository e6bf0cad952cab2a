#include "host/Application.h"

#include "com/Guids.h"

namespace host {

Application::Application() : DispObject("Application", {IID__Application})
{
    AddValue("Name", Str("Outlook"));
    m_events = &AddEventSource(*this, DIID_ApplicationEvents);
}

} // namespace host
