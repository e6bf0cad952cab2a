// The stand-in MAPI message (IMessage, IMAPIProp) and the IStream it hands
// out for its properties.
#include "host/MapiMessage.h"

#include "com/Resources.h"
#include "host/CallLog.h"
#include "host/Faults.h"
#include "host/Text.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapix.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace host {
namespace {

// Spelled out here: mingw-w64 declares them but no import library defines them.
const IID kIID_IMAPIProp = {0x00020303, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kIID_IMessage = {0x00020307, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

const char kMessage[] = "Message";

struct NamedTag
{
    ULONG tag;
    const char *name;
};

const NamedTag kTags[] = {
    {kPrDisplayTo, "PR_DISPLAY_TO"},
    {kPrDisplayCc, "PR_DISPLAY_CC"},
    {kPrDisplayBcc, "PR_DISPLAY_BCC"},
    {kPrNormalizedSubject, "PR_NORMALIZED_SUBJECT"},
    {kPrSubject, "PR_SUBJECT"},
    {PROP_TAG(PT_UNICODE, 0x0E04), "PR_DISPLAY_TO_W"},
    {PROP_TAG(PT_UNICODE, 0x0E03), "PR_DISPLAY_CC_W"},
    {PROP_TAG(PT_UNICODE, 0x0E02), "PR_DISPLAY_BCC_W"},
    {PROP_TAG(PT_UNICODE, 0x0E1D), "PR_NORMALIZED_SUBJECT_W"},
    {kPrHtml, "PR_HTML"},
    {kPrBodyHtml, "PR_BODY_HTML"},
    {kPrInetMailOverrideFormat, "PR_INETMAIL_OVERRIDE_FORMAT"},
    {kPrMsgEditorFormat, "PR_MSG_EDITOR_FORMAT"},
};

bool IsString(ULONG tag)
{
    return PROP_TYPE(tag) == PT_STRING8 || PROP_TYPE(tag) == PT_UNICODE;
}

std::string FlagsText(ULONG flags)
{
    if (flags == 0)
        return "0";
    if (flags == MAPI_UNICODE)
        return "MAPI_UNICODE";
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(flags));
    return hex;
}

std::string InterfaceOptionsText(ULONG options)
{
    if (options == 0)
        return "0";
    if (options == STGM_WRITE)
        return "STGM_WRITE";
    if (options == STGM_READWRITE)
        return "STGM_READWRITE";
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(options));
    return hex;
}

CallRecord Record(const std::string &object, const std::string &member, CallKind kind,
                  std::vector<std::string> args = {})
{
    CallRecord record;
    record.object = object;
    record.member = member;
    record.kind = kind;
    record.args = std::move(args);
    return record;
}

std::wstring WideOf(const std::string &bytes)
{
    return WideFromAnsi(bytes.c_str(), static_cast<int>(bytes.size()));
}

std::string AnsiOf(const std::wstring &text)
{
    return AnsiFromWide(text.c_str(), static_cast<int>(text.size()));
}

// An allocation chained to `base` (MAPIAllocateMore), or null.
void *More(size_t bytes, void *base)
{
    void *p = nullptr;
    if (MAPIAllocateMore(static_cast<ULONG>(bytes), base, &p) != S_OK)
        return nullptr;
    return p;
}

} // namespace

std::string TagName(ULONG tag)
{
    for (const NamedTag &entry : kTags)
        if (entry.tag == tag)
            return entry.name;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(tag));
    return hex;
}

// A stream over one property: a reader over a snapshot of its bytes, or a
// writer whose Commit makes its content the property.
class PropertyStream final : public IStream
{
public:
    PropertyStream(MapiMessage &message, ULONG tag, bool writable, std::string content, ULONG readLimit)
        : m_message(ComPtr<MapiMessage>::Borrow(&message)), m_name("Stream(" + TagName(tag) + ")"), m_tag(tag),
          m_writable(writable), m_content(std::move(content)), m_readLimit(readLimit)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        CallScope call(Record(m_name, "QueryInterface(" + InterfaceName(riid) + ")", CallKind::QueryInterface));
        if (!ppv)
            return call.Finish(E_POINTER);
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IStream) &&
            !IsEqualIID(riid, IID_ISequentialStream))
            return call.Finish(E_NOINTERFACE);
        AddRef();
        *ppv = static_cast<IStream *>(this);
        return call.Finish(S_OK);
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        ULONG count = static_cast<ULONG>(InterlockedIncrement(&m_cRef));
        CallLog::Finish(CallLog::Begin(Record(m_name, "AddRef", CallKind::AddRef)), S_OK, count);
        return count;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        CallLog::Finish(CallLog::Begin(Record(m_name, "Release", CallKind::Release)), S_OK,
                        static_cast<ULONG>(m_cRef) - 1);
        ULONG count = static_cast<ULONG>(InterlockedDecrement(&m_cRef));
        if (count == 0)
            delete this;
        return count;
    }

    STDMETHODIMP Read(void *pv, ULONG cb, ULONG *pcbRead) override
    {
        CallScope call(Begin("Read", {std::to_string(cb)}));
        if (pcbRead)
            *pcbRead = 0;
        HRESULT injected = Faults::Check(m_name, "Read");
        if (FAILED(injected))
            return call.Finish(injected);
        if (!pv)
            return call.Finish(STG_E_INVALIDPOINTER);
        size_t end = std::min<size_t>(m_content.size(), m_readLimit);
        ULONG n = m_position >= end ? 0 : static_cast<ULONG>(std::min<size_t>(cb, end - m_position));
        memcpy(pv, m_content.data() + m_position, n);
        m_position += n;
        if (pcbRead)
            *pcbRead = n;
        return call.Finish(S_OK);
    }
    STDMETHODIMP Write(const void *pv, ULONG cb, ULONG *pcbWritten) override
    {
        CallScope call(Begin("Write", {std::to_string(cb)}));
        if (pcbWritten)
            *pcbWritten = 0;
        HRESULT injected = Faults::Check(m_name, "Write");
        if (FAILED(injected))
            return call.Finish(injected);
        if (!m_writable)
            return call.Finish(STG_E_ACCESSDENIED);
        if (!pv)
            return call.Finish(STG_E_INVALIDPOINTER);
        ULONG n = m_message->m_writeChunk ? std::min(cb, m_message->m_writeChunk) : cb;
        if (m_content.size() < m_position + n)
            m_content.resize(m_position + n);
        memcpy(&m_content[m_position], pv, n);
        m_position += n;
        if (pcbWritten)
            *pcbWritten = n;
        return call.Finish(S_OK);
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *newPosition) override
    {
        CallScope call(Begin("Seek", {std::to_string(move.QuadPart), std::to_string(origin)}));
        HRESULT injected = Faults::Check(m_name, "Seek");
        if (FAILED(injected))
            return call.Finish(injected);
        LONGLONG base = origin == STREAM_SEEK_SET ? 0
                        : origin == STREAM_SEEK_CUR ? static_cast<LONGLONG>(m_position)
                        : origin == STREAM_SEEK_END ? static_cast<LONGLONG>(m_content.size())
                                                    : -1;
        if (base < 0)
            return call.Finish(STG_E_INVALIDFUNCTION);
        LONGLONG target = base + move.QuadPart;
        if (target < 0)
            return call.Finish(STG_E_INVALIDFUNCTION);
        m_position = static_cast<size_t>(target);
        if (newPosition)
            newPosition->QuadPart = m_position;
        return call.Finish(S_OK);
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override
    {
        CallScope call(Begin("SetSize", {std::to_string(size.QuadPart)}));
        HRESULT injected = Faults::Check(m_name, "SetSize");
        if (FAILED(injected))
            return call.Finish(injected);
        if (!m_writable)
            return call.Finish(STG_E_ACCESSDENIED);
        m_content.resize(static_cast<size_t>(size.QuadPart));
        return call.Finish(S_OK);
    }
    STDMETHODIMP CopyTo(IStream *, ULARGE_INTEGER, ULARGE_INTEGER *, ULARGE_INTEGER *) override
    {
        CallScope call(Begin("CopyTo", {}));
        return call.Finish(E_NOTIMPL);
    }
    STDMETHODIMP Commit(DWORD flags) override
    {
        CallScope call(Begin("Commit", {flags == STGC_OVERWRITE ? "STGC_OVERWRITE" : std::to_string(flags)}));
        HRESULT injected = Faults::Check(m_name, "Commit");
        if (FAILED(injected))
            return call.Finish(injected);
        if (!m_writable)
            return call.Finish(STG_E_ACCESSDENIED);
        m_message->Store(m_tag, m_content);
        return call.Finish(S_OK);
    }
    STDMETHODIMP Revert() override
    {
        CallScope call(Begin("Revert", {}));
        return call.Finish(E_NOTIMPL);
    }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        CallScope call(Begin("LockRegion", {}));
        return call.Finish(STG_E_INVALIDFUNCTION);
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        CallScope call(Begin("UnlockRegion", {}));
        return call.Finish(STG_E_INVALIDFUNCTION);
    }
    STDMETHODIMP Stat(STATSTG *stat, DWORD flags) override
    {
        CallScope call(Begin("Stat", {flags == STATFLAG_NONAME ? "STATFLAG_NONAME" : std::to_string(flags)}));
        HRESULT injected = Faults::Check(m_name, "Stat");
        if (FAILED(injected))
            return call.Finish(injected);
        if (!stat)
            return call.Finish(STG_E_INVALIDPOINTER);
        memset(stat, 0, sizeof *stat);
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = m_content.size();
        stat->grfMode = m_writable ? STGM_WRITE : STGM_READ;
        return call.Finish(S_OK);
    }
    STDMETHODIMP Clone(IStream **clone) override
    {
        CallScope call(Begin("Clone", {}));
        if (clone)
            *clone = nullptr;
        return call.Finish(E_NOTIMPL);
    }

private:
    ~PropertyStream() = default;

    CallRecord Begin(const char *member, std::vector<std::string> args)
    {
        m_message->NoteThread();
        return Record(m_name, member, CallKind::Method, std::move(args));
    }

    volatile LONG m_cRef = 1;
    ComPtr<MapiMessage> m_message;
    const std::string m_name;
    const ULONG m_tag;
    const bool m_writable;
    std::string m_content;
    size_t m_position = 0;
    const ULONG m_readLimit;
};

MapiMessage::MapiMessage()
    : m_exactTypes(!PlaysOutlook2003()), m_writeNeedsModify(!PlaysOutlook2003()), m_writeKeepsOld(!PlaysOutlook2003())
{
}

MapiMessage::~MapiMessage() = default;

void MapiMessage::NoteThread()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_threads.insert(GetCurrentThreadId());
}

std::set<DWORD> MapiMessage::CallerThreads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads;
}

ULONG MapiMessage::KeyOf(ULONG tag)
{
    // Both string forms of a property are one property.
    return IsString(tag) ? PROP_TAG(PT_UNICODE, PROP_ID(tag)) : tag;
}

const MapiMessage::Property *MapiMessage::Find(ULONG tag) const
{
    auto it = m_props.find(KeyOf(tag));
    return it == m_props.end() ? nullptr : &it->second;
}

void MapiMessage::SetString(ULONG tag, const std::wstring &text)
{
    Property &p = m_props[KeyOf(tag)];
    p = Property();
    p.tag = tag;
    p.wide = text;
    p.isWide = true;
}

void MapiMessage::SetString8(ULONG tag, const std::string &bytes)
{
    Property &p = m_props[KeyOf(tag)];
    p = Property();
    p.tag = PROP_TAG(PT_STRING8, PROP_ID(tag));
    p.bytes = bytes;
}

void MapiMessage::SetBinary(ULONG tag, const std::string &bytes)
{
    Property &p = m_props[KeyOf(tag)];
    p = Property();
    p.tag = tag;
    p.bytes = bytes;
}

void MapiMessage::SetLong(ULONG tag, LONG value)
{
    Property &p = m_props[KeyOf(tag)];
    p = Property();
    p.tag = tag;
    p.value = value;
}

void MapiMessage::Remove(ULONG tag)
{
    m_props.erase(KeyOf(tag));
}

bool MapiMessage::Has(ULONG tag) const
{
    return Find(tag) != nullptr;
}

std::string MapiMessage::BytesOf(const Property &p, ULONG requestedTag) const
{
    if (!p.isWide)
        return p.bytes;
    if (PROP_TYPE(requestedTag) == PT_UNICODE)
        return std::string(reinterpret_cast<const char *>(p.wide.data()), p.wide.size() * sizeof(wchar_t));
    return AnsiOf(p.wide);
}

std::string MapiMessage::Bytes(ULONG tag) const
{
    const Property *p = Find(tag);
    return p ? BytesOf(*p, tag) : std::string();
}

std::wstring MapiMessage::Text(ULONG tag) const
{
    const Property *p = Find(tag);
    if (!p)
        return std::wstring();
    return p->isWide ? p->wide : WideOf(p->bytes);
}

LONG MapiMessage::Long(ULONG tag) const
{
    const Property *p = Find(tag);
    return p ? p->value : 0;
}

void MapiMessage::SetShortRead(ULONG tag, ULONG deliveredBytes)
{
    m_shortReads[KeyOf(tag)] = deliveredBytes;
}

void MapiMessage::SetReadOnly(ULONG tag)
{
    m_readOnly.insert(KeyOf(tag));
}

void MapiMessage::Store(ULONG tag, const std::string &bytes)
{
    if (PROP_TYPE(tag) == PT_STRING8)
        SetString8(tag, bytes);
    else if (PROP_TYPE(tag) == PT_UNICODE)
        SetString(tag, std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t)));
    else
        SetBinary(tag, bytes);
}

STDMETHODIMP MapiMessage::QueryInterface(REFIID riid, void **ppv)
{
    NoteThread();
    CallScope call(Record(kMessage, "QueryInterface(" + InterfaceName(riid) + ")", CallKind::QueryInterface));
    if (!ppv)
        return call.Finish(E_POINTER);
    *ppv = nullptr;
    HRESULT injected = Faults::Check(kMessage, "QueryInterface(" + InterfaceName(riid) + ")");
    if (FAILED(injected))
        return call.Finish(injected);
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, kIID_IMAPIProp) && !IsEqualIID(riid, kIID_IMessage))
        return call.Finish(E_NOINTERFACE);
    AddRef();
    *ppv = static_cast<IMessage *>(this);
    return call.Finish(S_OK);
}

STDMETHODIMP_(ULONG) MapiMessage::AddRef()
{
    NoteThread();
    ULONG count = static_cast<ULONG>(InterlockedIncrement(&m_cRef));
    CallLog::Finish(CallLog::Begin(Record(kMessage, "AddRef", CallKind::AddRef)), S_OK, count);
    return count;
}

STDMETHODIMP_(ULONG) MapiMessage::Release()
{
    NoteThread();
    CallLog::Finish(CallLog::Begin(Record(kMessage, "Release", CallKind::Release)), S_OK,
                    static_cast<ULONG>(m_cRef) - 1);
    ULONG count = static_cast<ULONG>(InterlockedDecrement(&m_cRef));
    if (count == 0)
        delete this;
    return count;
}

HRESULT MapiMessage::Unsupported(const char *member)
{
    NoteThread();
    CallScope call(Record(kMessage, member, CallKind::Method));
    return call.Finish(MAPI_E_NO_SUPPORT);
}

STDMETHODIMP MapiMessage::GetLastError(HRESULT, ULONG, LPMAPIERROR *lppMAPIError)
{
    if (lppMAPIError)
        *lppMAPIError = nullptr;
    return Unsupported("GetLastError");
}

STDMETHODIMP MapiMessage::SaveChanges(ULONG ulFlags)
{
    NoteThread();
    CallScope call(Record(kMessage, "SaveChanges", CallKind::Method, {std::to_string(ulFlags)}));
    return call.Finish(Faults::Check(kMessage, "SaveChanges"));
}

STDMETHODIMP MapiMessage::GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG *lpcValues,
                                   LPSPropValue *lppPropArray)
{
    NoteThread();
    std::vector<std::string> args;
    if (!lpPropTagArray) {
        args.push_back("null");
    } else {
        std::string names;
        for (ULONG i = 0; i < lpPropTagArray->cValues; ++i)
            names += (i ? " " : "") + TagName(lpPropTagArray->aulPropTag[i]);
        args.push_back(lpPropTagArray->cValues == 1 ? names : "[" + names + "]");
    }
    args.push_back(FlagsText(ulFlags));
    CallScope call(Record(kMessage, "GetProps", CallKind::Method, std::move(args)));

    if (lpcValues)
        *lpcValues = 0;
    if (lppPropArray)
        *lppPropArray = nullptr;
    if (!lpcValues || !lppPropArray)
        return call.Finish(MAPI_E_INVALID_PARAMETER);
    HRESULT injected = Faults::Check(kMessage, "GetProps");
    if (FAILED(injected))
        return call.Finish(injected);
    if (!lpPropTagArray)
        return call.Finish(MAPI_E_NO_SUPPORT); // every property at once: not needed here
    const bool unicode = (ulFlags & MAPI_UNICODE) != 0;
    if (unicode && m_stringStore == StringStore::RejectsUnicode)
        return call.Finish(MAPI_E_BAD_CHARWIDTH);

    const ULONG count = lpPropTagArray->cValues;
    LPSPropValue values = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (count ? count : 1)),
                           reinterpret_cast<void **>(&values)) != S_OK || !values)
        return call.Finish(MAPI_E_NOT_ENOUGH_MEMORY);
    memset(values, 0, sizeof(SPropValue) * (count ? count : 1));

    bool errors = false;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG asked = lpPropTagArray->aulPropTag[i];
        SPropValue &out = values[i];
        const Property *p = Find(asked);
        if (p && !IsString(asked) && PROP_TYPE(asked) != PT_UNSPECIFIED && PROP_TYPE(p->tag) != PROP_TYPE(asked))
            p = nullptr;
        if (!p) {
            out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(asked));
            out.Value.err = MAPI_E_NOT_FOUND;
            errors = true;
            continue;
        }
        if (IsString(p->tag) && m_exactTypes && PROP_TYPE(asked) == PT_UNICODE &&
            m_stringStore != StringStore::Unicode) {
            out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(asked));
            out.Value.err = MAPI_E_NOT_FOUND;
            errors = true;
            continue;
        }
        if (IsString(p->tag)) {
            const bool wide = m_exactTypes ? PROP_TYPE(asked) == PT_UNICODE
                                           : unicode && m_stringStore == StringStore::Unicode;
            if (wide) {
                std::wstring text = p->isWide ? p->wide : WideOf(p->bytes);
                auto *copy = static_cast<wchar_t *>(More((text.size() + 1) * sizeof(wchar_t), values));
                if (!copy) {
                    MAPIFreeBuffer(values);
                    return call.Finish(MAPI_E_NOT_ENOUGH_MEMORY);
                }
                memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
                out.ulPropTag = PROP_TAG(PT_UNICODE, PROP_ID(asked));
                out.Value.lpszW = copy;
            } else {
                std::string text = p->isWide ? AnsiOf(p->wide) : p->bytes;
                auto *copy = static_cast<char *>(More(text.size() + 1, values));
                if (!copy) {
                    MAPIFreeBuffer(values);
                    return call.Finish(MAPI_E_NOT_ENOUGH_MEMORY);
                }
                memcpy(copy, text.c_str(), text.size() + 1);
                out.ulPropTag = PROP_TAG(PT_STRING8, PROP_ID(asked));
                out.Value.lpszA = copy;
            }
        } else if (PROP_TYPE(p->tag) == PT_BINARY) {
            auto *copy = static_cast<BYTE *>(More(p->bytes.size() ? p->bytes.size() : 1, values));
            if (!copy) {
                MAPIFreeBuffer(values);
                return call.Finish(MAPI_E_NOT_ENOUGH_MEMORY);
            }
            memcpy(copy, p->bytes.data(), p->bytes.size());
            out.ulPropTag = p->tag;
            out.Value.bin.cb = static_cast<ULONG>(p->bytes.size());
            out.Value.bin.lpb = copy;
        } else {
            out.ulPropTag = p->tag;
            out.Value.l = p->value;
        }
    }
    *lpcValues = count;
    *lppPropArray = values;
    return call.Finish(errors ? MAPI_W_ERRORS_RETURNED : S_OK);
}

STDMETHODIMP MapiMessage::GetPropList(ULONG, LPSPropTagArray *lppPropTagArray)
{
    if (lppPropTagArray)
        *lppPropTagArray = nullptr;
    return Unsupported("GetPropList");
}

STDMETHODIMP MapiMessage::OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                                       LPUNKNOWN *lppUnk)
{
    NoteThread();
    CallScope call(Record(kMessage, "OpenProperty", CallKind::Method,
                          {TagName(ulPropTag),
                           !lpiid ? "null" : IsEqualIID(*lpiid, IID_IStream) ? "IID_IStream" : InterfaceName(*lpiid),
                           InterfaceOptionsText(ulInterfaceOptions), std::to_string(ulFlags)}));
    if (!lppUnk)
        return call.Finish(MAPI_E_INVALID_PARAMETER);
    *lppUnk = nullptr;
    HRESULT injected = Faults::Check(kMessage, "OpenProperty");
    if (FAILED(injected))
        return call.Finish(injected);
    if (!lpiid)
        return call.Finish(MAPI_E_INVALID_PARAMETER);
    if (!IsEqualIID(*lpiid, IID_IStream))
        return call.Finish(MAPI_E_INTERFACE_NOT_SUPPORTED);

    const bool writable = (ulInterfaceOptions & (STGM_WRITE | STGM_READWRITE)) != 0;
    const bool create = (ulFlags & MAPI_CREATE) != 0;
    const Property *p = Find(ulPropTag);
    if (!p && !(writable && create))
        return call.Finish(MAPI_E_NOT_FOUND);
    if (writable && (m_readOnly.count(KeyOf(ulPropTag)) || (m_writeNeedsModify && !(ulFlags & MAPI_MODIFY))))
        return call.Finish(MAPI_E_NO_ACCESS);

    std::string content;
    if (p && (!writable || m_writeKeepsOld))
        content = BytesOf(*p, ulPropTag);
    ULONG limit = 0xFFFFFFFF;
    auto shortRead = m_shortReads.find(KeyOf(ulPropTag));
    if (!writable && shortRead != m_shortReads.end())
        limit = shortRead->second;
    auto *stream = new (std::nothrow) PropertyStream(*this, ulPropTag, writable, std::move(content), limit);
    if (!stream)
        return call.Finish(MAPI_E_NOT_ENOUGH_MEMORY);
    *lppUnk = stream;
    return call.Finish(S_OK);
}

STDMETHODIMP MapiMessage::SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray *lppProblems)
{
    NoteThread();
    std::vector<std::string> args;
    for (ULONG i = 0; lpPropArray && i < cValues; ++i) {
        const SPropValue &v = lpPropArray[i];
        std::string text = TagName(v.ulPropTag) + "=";
        switch (PROP_TYPE(v.ulPropTag)) {
        case PT_LONG: text += std::to_string(v.Value.l); break;
        case PT_STRING8: text += v.Value.lpszA ? "\"" + std::string(v.Value.lpszA) + "\"" : "null"; break;
        case PT_UNICODE: text += v.Value.lpszW ? "\"" + AnsiFromWide(v.Value.lpszW) + "\"" : "null"; break;
        case PT_BINARY: text += std::to_string(v.Value.bin.cb) + " bytes"; break;
        default: text += "?"; break;
        }
        args.push_back(text);
    }
    CallScope call(Record(kMessage, "SetProps", CallKind::Method, std::move(args)));
    if (lppProblems)
        *lppProblems = nullptr;
    HRESULT injected = Faults::Check(kMessage, "SetProps");
    if (FAILED(injected))
        return call.Finish(injected);
    if (!lpPropArray)
        return call.Finish(MAPI_E_INVALID_PARAMETER);
    for (ULONG i = 0; i < cValues; ++i) {
        const SPropValue &v = lpPropArray[i];
        switch (PROP_TYPE(v.ulPropTag)) {
        case PT_LONG: SetLong(v.ulPropTag, v.Value.l); break;
        case PT_STRING8: SetString8(v.ulPropTag, v.Value.lpszA ? v.Value.lpszA : ""); break;
        case PT_UNICODE: SetString(v.ulPropTag, v.Value.lpszW ? v.Value.lpszW : L""); break;
        case PT_BINARY:
            SetBinary(v.ulPropTag, std::string(reinterpret_cast<const char *>(v.Value.bin.lpb), v.Value.bin.cb));
            break;
        default: return call.Finish(MAPI_E_NO_SUPPORT);
        }
    }
    return call.Finish(S_OK);
}

STDMETHODIMP MapiMessage::DeleteProps(LPSPropTagArray, LPSPropProblemArray *lppProblems)
{
    if (lppProblems)
        *lppProblems = nullptr;
    return Unsupported("DeleteProps");
}

STDMETHODIMP MapiMessage::CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                 LPSPropProblemArray *lppProblems)
{
    if (lppProblems)
        *lppProblems = nullptr;
    return Unsupported("CopyTo");
}

STDMETHODIMP MapiMessage::CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                    LPSPropProblemArray *lppProblems)
{
    if (lppProblems)
        *lppProblems = nullptr;
    return Unsupported("CopyProps");
}

STDMETHODIMP MapiMessage::GetNamesFromIDs(LPSPropTagArray *, LPGUID, ULONG, ULONG *lpcPropNames,
                                          LPMAPINAMEID **lpppPropNames)
{
    if (lpcPropNames)
        *lpcPropNames = 0;
    if (lpppPropNames)
        *lpppPropNames = nullptr;
    return Unsupported("GetNamesFromIDs");
}

STDMETHODIMP MapiMessage::GetIDsFromNames(ULONG, LPMAPINAMEID *, ULONG, LPSPropTagArray *lppPropTags)
{
    if (lppPropTags)
        *lppPropTags = nullptr;
    return Unsupported("GetIDsFromNames");
}

STDMETHODIMP MapiMessage::GetAttachmentTable(ULONG, LPMAPITABLE *lppTable)
{
    if (lppTable)
        *lppTable = nullptr;
    return Unsupported("GetAttachmentTable");
}

STDMETHODIMP MapiMessage::OpenAttach(ULONG, LPCIID, ULONG, LPATTACH *lppAttach)
{
    if (lppAttach)
        *lppAttach = nullptr;
    return Unsupported("OpenAttach");
}

STDMETHODIMP MapiMessage::CreateAttach(LPCIID, ULONG, ULONG *, LPATTACH *lppAttach)
{
    if (lppAttach)
        *lppAttach = nullptr;
    return Unsupported("CreateAttach");
}

STDMETHODIMP MapiMessage::DeleteAttach(ULONG, ULONG, LPMAPIPROGRESS, ULONG)
{
    return Unsupported("DeleteAttach");
}

STDMETHODIMP MapiMessage::GetRecipientTable(ULONG, LPMAPITABLE *lppTable)
{
    if (lppTable)
        *lppTable = nullptr;
    return Unsupported("GetRecipientTable");
}

STDMETHODIMP MapiMessage::ModifyRecipients(ULONG, LPADRLIST)
{
    return Unsupported("ModifyRecipients");
}

STDMETHODIMP MapiMessage::SubmitMessage(ULONG)
{
    return Unsupported("SubmitMessage");
}

STDMETHODIMP MapiMessage::SetReadFlag(ULONG)
{
    return Unsupported("SetReadFlag");
}

} // namespace host
