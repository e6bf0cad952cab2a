#include "com/Module.h"

HINSTANCE g_hModule = nullptr;
LONG g_lMyObjects = 0;
