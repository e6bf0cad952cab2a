#include "log/CaughtError.h"

#include "com/ComError.h"
#include "log/DebugLog.h"

#include <new>

HRESULT LogCaughtError(const char *context)
{
    HRESULT hr = E_UNEXPECTED;
    IID where = GUID_NULL;
    try {
        throw;
    } catch (const ComError &e) {
        hr = e.hr;
        where = e.iid;
    } catch (const std::bad_alloc &) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
    }
    DebugLog(1, "%s failed: hr=0x%08lX, interface %s\n", context, (unsigned long)hr, GuidText(where).c_str());
    return hr;
}
