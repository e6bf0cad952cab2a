#include "addin/Globals.h"

LONG g_cComponents = 0;
LONG g_cLocks = 0;
CAddin *g_pAddin = nullptr;
