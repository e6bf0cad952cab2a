// Logging the error that a COM boundary has just caught.
#pragma once

#include <windows.h>

// Call only inside a catch block: logs "<context> failed: hr=0x..., interface {...}"
// at level 1 for the exception being handled and returns its HRESULT.
HRESULT LogCaughtError(const char *context);
