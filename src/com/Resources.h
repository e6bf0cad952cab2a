// RAII owners for the Win32 and OLE resources the add-in takes: BSTR, VARIANT,
// registry keys, WinInet handles, kernel handles, GDI objects, global-memory
// locks and the open clipboard. Each deletes copying and can hand its value on.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wininet.h>
#include <string>
#include <utility>

template <class H, class Traits>
class UniqueHandle
{
public:
    UniqueHandle() = default;
    explicit UniqueHandle(H h) : m_h(h) {}
    UniqueHandle(UniqueHandle &&o) noexcept : m_h(o.Release()) {}
    UniqueHandle &operator=(UniqueHandle &&o) noexcept
    {
        if (this != &o)
            Reset(o.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    ~UniqueHandle() { Reset(); }

    H Get() const { return m_h; }
    explicit operator bool() const { return Traits::Valid(m_h); }
    H *Receive()
    {
        Reset();
        return &m_h;
    }
    H Release()
    {
        H h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    void Reset(H h = Traits::Invalid())
    {
        H old = m_h;
        m_h = h;
        if (Traits::Valid(old))
            Traits::Close(old);
    }

private:
    H m_h = Traits::Invalid();
};

struct HKeyTraits
{
    static HKEY Invalid() { return nullptr; }
    static bool Valid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
struct InternetTraits
{
    static HINTERNET Invalid() { return nullptr; }
    static bool Valid(HINTERNET h) { return h != nullptr; }
    static void Close(HINTERNET h) { InternetCloseHandle(h); }
};
struct KernelTraits
{
    static HANDLE Invalid() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct GdiTraits
{
    static HGDIOBJ Invalid() { return nullptr; }
    static bool Valid(HGDIOBJ h) { return h != nullptr; }
    static void Close(HGDIOBJ h) { DeleteObject(h); }
};

using RegKey = UniqueHandle<HKEY, HKeyTraits>;
using InternetHandle = UniqueHandle<HINTERNET, InternetTraits>;
using KernelHandle = UniqueHandle<HANDLE, KernelTraits>;
using GdiObject = UniqueHandle<HGDIOBJ, GdiTraits>;

class BStr
{
public:
    BStr() = default;
    explicit BStr(BSTR owned) : m_s(owned) {}
    // Copies wide text; an allocation failure raises through the caller's check.
    static BStr FromWide(const wchar_t *text) { return BStr(text ? SysAllocString(text) : nullptr); }
    static BStr FromWide(const wchar_t *text, UINT length) { return BStr(SysAllocStringLen(text, length)); }
    BStr(BStr &&o) noexcept : m_s(o.Release()) {}
    BStr &operator=(BStr &&o) noexcept
    {
        if (this != &o)
            Reset(o.Release());
        return *this;
    }
    BStr(const BStr &) = delete;
    BStr &operator=(const BStr &) = delete;
    ~BStr() { Reset(); }

    BSTR Get() const { return m_s; }
    UINT Length() const { return SysStringLen(m_s); }
    BSTR *Receive()
    {
        Reset();
        return &m_s;
    }
    BSTR Release()
    {
        BSTR s = m_s;
        m_s = nullptr;
        return s;
    }
    void Reset(BSTR s = nullptr)
    {
        if (m_s)
            SysFreeString(m_s);
        m_s = s;
    }

private:
    BSTR m_s = nullptr;
};

class Variant
{
public:
    Variant() { VariantInit(&m_v); }
    Variant(Variant &&o) noexcept
    {
        m_v = o.m_v;
        VariantInit(&o.m_v);
    }
    Variant &operator=(Variant &&o) noexcept
    {
        if (this != &o) {
            Clear();
            m_v = o.m_v;
            VariantInit(&o.m_v);
        }
        return *this;
    }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;
    ~Variant() { Clear(); }

    static Variant I4(LONG value)
    {
        Variant v;
        v.m_v.vt = VT_I4;
        v.m_v.lVal = value;
        return v;
    }
    static Variant I2(SHORT value)
    {
        Variant v;
        v.m_v.vt = VT_I2;
        v.m_v.iVal = value;
        return v;
    }
    static Variant Bool(bool value)
    {
        Variant v;
        v.m_v.vt = VT_BOOL;
        v.m_v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
    // Takes over the string.
    static Variant Str(BStr s)
    {
        Variant v;
        v.m_v.vt = VT_BSTR;
        v.m_v.bstrVal = s.Release();
        return v;
    }
    // Adds a reference of its own.
    static Variant Dispatch(IDispatch *p)
    {
        Variant v;
        v.m_v.vt = VT_DISPATCH;
        v.m_v.pdispVal = p;
        if (p)
            p->AddRef();
        return v;
    }
    // The "missing" argument of optional parameters.
    static Variant Missing()
    {
        Variant v;
        v.m_v.vt = VT_ERROR;
        v.m_v.scode = DISP_E_PARAMNOTFOUND;
        return v;
    }

    VARIANT *Get() { return &m_v; }
    const VARIANT *Get() const { return &m_v; }
    VARTYPE Type() const { return m_v.vt; }
    VARIANT *Receive()
    {
        Clear();
        return &m_v;
    }
    void Clear() { VariantClear(&m_v); }

private:
    VARIANT m_v;
};

class GlobalMemoryLock
{
public:
    explicit GlobalMemoryLock(HGLOBAL h) : m_h(h), m_p(h ? ::GlobalLock(h) : nullptr) {}
    GlobalMemoryLock(const GlobalMemoryLock &) = delete;
    GlobalMemoryLock &operator=(const GlobalMemoryLock &) = delete;
    ~GlobalMemoryLock()
    {
        if (m_p)
            ::GlobalUnlock(m_h);
    }
    void *Get() const { return m_p; }

private:
    HGLOBAL m_h;
    void *m_p;
};

// The clipboard, open for the lifetime of this object (when Open succeeded).
class ClipboardScope
{
public:
    explicit ClipboardScope(HWND owner = nullptr) : m_open(OpenClipboard(owner) != FALSE) {}
    ClipboardScope(const ClipboardScope &) = delete;
    ClipboardScope &operator=(const ClipboardScope &) = delete;
    ~ClipboardScope()
    {
        if (m_open)
            CloseClipboard();
    }
    bool IsOpen() const { return m_open; }

private:
    bool m_open;
};

// Wide text of a narrow string in the ANSI code page, and back.
std::wstring WideFromAnsi(const char *text, int length = -1);
std::string AnsiFromWide(const wchar_t *text, int length = -1);
// The UTF-8 bytes of wide text (unpaired surrogates become U+FFFD).
std::string Utf8FromWide(const std::wstring &text);
