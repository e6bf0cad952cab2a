// The add-in's one exception type: a failed COM call with its HRESULT and the
// interface it was made on. Every COM method, event handler and thread entry
// catches it at its boundary; nothing is ever thrown into the host.
#pragma once

#include <windows.h>
#include <cstdio>

struct ComError
{
    HRESULT hr;
    IID iid;

    ComError(HRESULT code, REFIID where) : hr(code), iid(where) {}
    explicit ComError(HRESULT code) : hr(code), iid(GUID_NULL) {}
};

[[noreturn]] inline void ThrowComError(HRESULT hr, REFIID iid = GUID_NULL)
{
    throw ComError(hr, iid);
}

inline void ThrowIfFailed(HRESULT hr, REFIID iid = GUID_NULL)
{
    if (FAILED(hr))
        throw ComError(hr, iid);
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in a caller's buffer, for log lines.
struct GuidText
{
    char text[39];
    explicit GuidText(REFGUID g)
    {
        snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                 (unsigned long)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                 g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    }
    const char *c_str() const { return text; }
};
