#include "addin/Globals.h"

HINSTANCE g_hModule = nullptr;
LONG g_cComponents = 0;
LONG g_cLocks = 0;
LONG g_lMyObjects = 0;
CAddin *g_pAddin = nullptr;
