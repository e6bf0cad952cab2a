// The real window behind a stand-in Outlook window (Inspector, Explorer): a
// plain top-level window of the host's own class, and the IOleWindow facet
// that gives its handle, recorded as "<object>.GetWindow".
#pragma once

#include "host/DispObject.h"

#include <oleidl.h>

#include <memory>

namespace host {

// A top-level window with this title, shown or created hidden; null when it cannot be made.
HWND CreateHostWindow(const char *title, bool shown);

// IOleWindow for owner: GetWindow gives what `window` holds when called
// (E_FAIL once it is null), and can be made to fail through Faults.
std::unique_ptr<Facet> NewOleWindowFacet(DispObject &owner, const HWND &window);

} // namespace host
