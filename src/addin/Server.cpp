// The library's COM entry points: the class object and the unload check.

#include "addin/AddinCF.h"
#include "addin/Globals.h"
#include "com/Guids.h"
#include "log/DebugLog.h"

#include <new>

// Counted objects are sinks and handlers that Outlook may still call into:
// while any lives, the library must stay.
STDAPI DllCanUnloadNow()
{
    DebugLog(2, "DllCanUnloadNow: g_cComponents=%ld, g_cLocks=%ld, g_lMyObjects=%ld\n", (long)g_cComponents,
             (long)g_cLocks, (long)g_lMyObjects);
    return (g_cComponents == 0 && g_cLocks == 0 && g_lMyObjects == 0) ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_QuorviaAddin))
        return CLASS_E_CLASSNOTAVAILABLE;
    CAddinCF *factory = new (std::nothrow) CAddinCF();
    if (!factory)
        return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(riid, ppv);
    if (FAILED(hr)) {
        *ppv = nullptr;
        CAddinCF::Discard(factory);
    }
    return hr;
}
