// Process-wide state shared by the whole add-in. All of it lives on Outlook's
// main thread, so the counters are plain integers.
#pragma once

#include <windows.h>

class CAddin;

extern HINSTANCE g_hModule;   // this library, for registration and resources
extern LONG g_cComponents;    // live add-in objects
extern LONG g_cLocks;         // server locks
extern LONG g_lMyObjects;     // live counted objects: sinks, tracked items, button handlers
extern CAddin *g_pAddin;      // the add-in object while it lives, else null
