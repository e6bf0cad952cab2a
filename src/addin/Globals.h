// Process-wide state shared by the whole add-in. All of it lives on Outlook's
// main thread, so the counters are plain integers.
#pragma once

#include "com/Module.h"

#include <windows.h>

class CAddin;

extern LONG g_cComponents;    // live add-in objects
extern LONG g_cLocks;         // server locks
extern CAddin *g_pAddin;      // the add-in object while it lives, else null
