// What every part of the add-in shares about the library itself: its module
// handle, for resources, and the count of its live objects, which decides
// when it may unload. Both live on Outlook's main thread.
#pragma once

#include <windows.h>

extern HINSTANCE g_hModule;   // this library, for registration and resources
extern LONG g_lMyObjects;     // live counted objects: sinks, tracked items, button handlers
