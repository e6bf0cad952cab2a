// MapiMessage: the stand-in MAPI message behind a mail item's MAPIOBJECT. A
// real COM object implementing IMessage (and so IMAPIProp) over a property
// store keyed by tag, with IStream access to its properties. Every call is
// recorded in the CallLog under "Message" (streams under "Stream(TAG)"),
// with the calling thread, and can be made to fail through Faults. Methods the
// add-in has no use for answer MAPI_E_NO_SUPPORT.
#pragma once

#include "com/ComPtr.h"
#include "host/Generation.h"

#include <windows.h>
#include <mapidefs.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace host {

// How the store answers for string properties. Outlook 2016 gives each tag
// its own type (PT_STRING8 in the ANSI code page, PT_UNICODE as Unicode);
// Outlook 2003 let the flags decide, as below.
enum class StringStore
{
    // 2003: MAPI_UNICODE gives PT_UNICODE, no flag gives PT_STRING8 (ANSI code page).
    Unicode,
    // MAPI_UNICODE is refused with MAPI_E_BAD_CHARWIDTH; no flag gives
    // PT_STRING8 (2016: a PT_UNICODE tag is not found).
    RejectsUnicode,
    // 2003: always PT_STRING8, whatever the flags. 2016: a PT_UNICODE tag is not found.
    EightBitOnly,
};

// Well-known tags, spelled out once for the host and the tests (the names of
// mapitags.h are macros).
const ULONG kPrDisplayTo = 0x0E04001E;
const ULONG kPrDisplayCc = 0x0E03001E;
const ULONG kPrDisplayBcc = 0x0E02001E;
const ULONG kPrNormalizedSubject = 0x0E1D001E;
const ULONG kPrSubject = 0x0037001E;
const ULONG kPrHtml = 0x10130102;
const ULONG kPrBodyHtml = 0x1013001E;
const ULONG kPrInetMailOverrideFormat = 0x59020003;
const ULONG kPrMsgEditorFormat = 0x59090003;

// "PR_DISPLAY_TO", "PR_HTML", ... or "0x12340003" for a tag not in the table.
std::string TagName(ULONG tag);

class MapiMessage final : public IMessage
{
public:
    // The count starts at 1, owned by the creator (see host::Create).
    MapiMessage();
    MapiMessage(const MapiMessage &) = delete;
    MapiMessage &operator=(const MapiMessage &) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IMAPIProp
    STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR *lppMAPIError) override;
    STDMETHODIMP SaveChanges(ULONG ulFlags) override;
    STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG *lpcValues,
                          LPSPropValue *lppPropArray) override;
    STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray *lppPropTagArray) override;
    STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                              LPUNKNOWN *lppUnk) override;
    STDMETHODIMP SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray *lppProblems) override;
    STDMETHODIMP DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray *lppProblems) override;
    STDMETHODIMP CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG ulUIParam,
                        LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                        LPSPropProblemArray *lppProblems) override;
    STDMETHODIMP CopyProps(LPSPropTagArray lpIncludeProps, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                           LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                           LPSPropProblemArray *lppProblems) override;
    STDMETHODIMP GetNamesFromIDs(LPSPropTagArray *lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                 ULONG *lpcPropNames, LPMAPINAMEID **lpppPropNames) override;
    STDMETHODIMP GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID *lppPropNames, ULONG ulFlags,
                                 LPSPropTagArray *lppPropTags) override;
    // IMessage
    STDMETHODIMP GetAttachmentTable(ULONG ulFlags, LPMAPITABLE *lppTable) override;
    STDMETHODIMP OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH *lppAttach) override;
    STDMETHODIMP CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG *lpulAttachmentNum,
                              LPATTACH *lppAttach) override;
    STDMETHODIMP DeleteAttach(ULONG ulAttachmentNum, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                              ULONG ulFlags) override;
    STDMETHODIMP GetRecipientTable(ULONG ulFlags, LPMAPITABLE *lppTable) override;
    STDMETHODIMP ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) override;
    STDMETHODIMP SubmitMessage(ULONG ulFlags) override;
    STDMETHODIMP SetReadFlag(ULONG ulFlags) override;

    ULONG RefCount() const { return static_cast<ULONG>(m_cRef); }

    // The store, set up and read by tests without a record. String properties
    // (PT_STRING8 or PT_UNICODE tags) share one slot per property id.
    void SetStringStore(StringStore store) { m_stringStore = store; }
    void SetString(ULONG tag, const std::wstring &text);
    // An 8-bit string kept as exactly these bytes (ANSI code page).
    void SetString8(ULONG tag, const std::string &bytes);
    void SetBinary(ULONG tag, const std::string &bytes);
    void SetLong(ULONG tag, LONG value);
    void Remove(ULONG tag);
    bool Has(ULONG tag) const;
    // The property's bytes as a stream would deliver them: binary and 8-bit
    // values as held, a wide string in the ANSI code page.
    std::string Bytes(ULONG tag) const;
    std::wstring Text(ULONG tag) const;
    LONG Long(ULONG tag) const; // 0 when absent

    // Stream behaviour of one property.
    // Stat reports the whole size but reading stops after this many bytes.
    void SetShortRead(ULONG tag, ULONG deliveredBytes);
    // Opening for writing fails with MAPI_E_NO_ACCESS; reading still works.
    void SetReadOnly(ULONG tag);
    // Each Write takes at most this many bytes (partial writes).
    void SetWriteChunk(ULONG bytes) { m_writeChunk = bytes; }
    // A stream opened for writing starts with the old content (as Outlook 2016
    // does; 2003's started empty): only SetSize makes a shorter write exact.
    void SetWriteKeepsOldContent(bool keep) { m_writeKeepsOld = keep; }

    // Every thread that called a method of the message or of its streams.
    std::set<DWORD> CallerThreads() const;

private:
    ~MapiMessage();

    struct Property
    {
        ULONG tag = 0;          // as last set; strings are keyed by id and family
        std::string bytes;      // binary, or 8-bit string bytes
        std::wstring wide;      // a wide string
        bool isWide = false;
        LONG value = 0;         // PT_LONG
    };
    friend class PropertyStream;

    static ULONG KeyOf(ULONG tag);
    const Property *Find(ULONG tag) const;
    std::string BytesOf(const Property &p, ULONG requestedTag) const;
    void Store(ULONG tag, const std::string &bytes); // from a committed stream
    void NoteThread();
    // A method the add-in has no use for: recorded, MAPI_E_NO_SUPPORT.
    HRESULT Unsupported(const char *member);

    volatile LONG m_cRef = 1;
    const bool m_exactTypes;   // Outlook 2016's GetProps
    const bool m_writeNeedsModify;
    StringStore m_stringStore = StringStore::Unicode;
    std::map<ULONG, Property> m_props;
    std::map<ULONG, ULONG> m_shortReads;
    std::set<ULONG> m_readOnly;
    ULONG m_writeChunk = 0;
    bool m_writeKeepsOld;
    mutable std::mutex m_mutex;
    std::set<DWORD> m_threads;
};

} // namespace host
