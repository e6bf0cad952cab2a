// CMailItem: construction, reference counting and the send-time marking of the
// message body.

#include "tracking/MailItem.h"

#include "com/Identity.h"
#include "com/Guids.h"
#include "com/Module.h"
#include "com/ObjectModel.h"
#include "com/PostedWork.h"
#include "com/DispProperty.h"
#include "log/DebugLog.h"
#include "tracking/TrackingFragment.h"

#include <mapiguid.h>
#include <mapiutil.h>
#include <oleidl.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

constexpr ULONG kPrHtml = 0x10130102;             // PR_HTML, binary
constexpr ULONG kPrBodyHtmlA = 0x1013001E;        // PR_BODY_HTML, 8-bit
constexpr ULONG kPrInetMailOverrideFormat = 0x59020003;
constexpr ULONG kPrMsgEditorFormat = 0x59090003;
constexpr LONG kEditorFormatHtml = 2;
constexpr LONG kOverrideFormatHtml = 0x00160000; // preference | MIME | text and HTML
constexpr LONG kOlFormatPlain = 1;
constexpr LONG kOlFormatHtml = 2;
constexpr LONG kOlFormatRichText = 3;

const char kHtmlOnlyText[] =
    "Quorvia tracking available only for HTML messages. Choose Yes if you want to change message format to HTML "
    "manually or No if you want to send it without tracking capability.";

// The whole content of a property stream. False when it cannot be had in full:
// a stream that stops short must not be taken for the whole body.
bool ReadWholeStream(IStream *stream, std::string &content)
{
    STATSTG stat = {};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)))
        return false;
    ULONG size = stat.cbSize.LowPart;
    content.assign(size, '\0');
    ULONG total = 0;
    while (total < size) {
        ULONG read = 0;
        HRESULT hr = stream->Read(&content[total], size - total, &read);
        if (FAILED(hr) || read == 0)
            return false;
        total += read;
    }
    return true;
}

void WriteWholeStream(IStream *stream, const std::string &text)
{
    ULONG total = 0;
    while (total < text.size()) {
        ULONG written = 0;
        HRESULT hr = stream->Write(text.data() + total, static_cast<ULONG>(text.size() - total), &written);
        if (FAILED(hr) || written == 0)
            ThrowComError(FAILED(hr) ? hr : STG_E_WRITEFAULT, IID_IStream);
        total += written;
    }
    // The marked text can be shorter than what the property held before.
    ULARGE_INTEGER size;
    size.QuadPart = text.size();
    stream->SetSize(size);
}

bool HoldsInteger(const VARIANT &value, LONG expected)
{
    VARIANT copy;
    VariantInit(&copy);
    bool equal = SUCCEEDED(VariantChangeType(&copy, const_cast<VARIANT *>(&value), 0, VT_I4)) &&
                 copy.lVal == expected;
    VariantClear(&copy);
    return equal;
}

struct MapiBuffer
{
    LPSPropValue value = nullptr;
    ~MapiBuffer()
    {
        if (value)
            MAPIFreeBuffer(value);
    }
};

// What HrGetOneProp and HrSetOneProp do, done here: the 64-bit mapi32 of Wine
// leaves both unimplemented (a call aborts the process).
HRESULT GetOneProp(IMAPIProp *prop, ULONG tag, LPSPropValue *value)
{
    *value = nullptr;
    SizedSPropTagArray(1, tags) = {1, {tag}};
    ULONG count = 0;
    HRESULT hr = prop->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, value);
    if (hr == MAPI_W_ERRORS_RETURNED) {
        if (*value)
            MAPIFreeBuffer(*value);
        *value = nullptr;
        hr = MAPI_E_NOT_FOUND;
    }
    return hr;
}

HRESULT SetOneProp(IMAPIProp *prop, SPropValue *value)
{
    return prop->SetProps(1, value, nullptr);
}

// The tracked items alive, for the application's ItemSend to find.
std::vector<CMailItem *> &LiveItems()
{
    static std::vector<CMailItem *> items;
    return items;
}

bool SameObject(IUnknown *a, IUnknown *b)
{
    ComPtr<IUnknown> first, second;
    return a && b && SUCCEEDED(a->QueryInterface(IID_IUnknown, first.ReceiveVoid())) &&
           SUCCEEDED(b->QueryInterface(IID_IUnknown, second.ReceiveVoid())) && first.Get() == second.Get();
}

} // namespace

CMailItem *CMailItem::Tracking(IDispatch *mailItem)
{
    for (CMailItem *item : LiveItems())
        if (SameObject(item->m_pMailItem.Get(), mailItem))
            return item;
    return nullptr;
}

CMailItem::CMailItem(IDispatch *mailItem, TrackingSwitchPtr trackingSwitch, AccountPtr account)
    : m_switch(std::move(trackingSwitch)), m_account(std::move(account))
{
    m_pMailItem = ComPtr<IDispatch>::Borrow(mailItem);
    if (!mailItem)
        ThrowComError(E_POINTER, IID__MailItem);

    Variant mapiObject = om::Get(mailItem, L"MAPIOBJECT", IID__MailItem);
    ComPtr<IUnknown> unknown = om::AsUnknown(mapiObject);
    if (!unknown)
        ThrowComError(E_POINTER, IID__MailItem);
    unknown->QueryInterface(IID_IMessage, m_pMessage.ReceiveVoid());

    DebugLog(2, "CMailItem constructor\n");
    LiveItems().push_back(this);
    ++g_lMyObjects;
    DebugLog(1, "CMailItem, g_lMyObjects=%ld\n", (long)g_lMyObjects);
    AddRef();
}

CMailItem::~CMailItem()
{
    DebugLog(2, "CMailItem destructor\n");
    LiveItems().erase(std::remove(LiveItems().begin(), LiveItems().end(), this), LiveItems().end());
    m_pMailItem.Reset();
    m_pMessage.Reset();
    m_switch.reset();
    --g_lMyObjects;
    DebugLog(1, "~CMailItem, g_lMyObjects=%ld\n", (long)g_lMyObjects);
}

LONG CMailItem::AddRef()
{
    DebugLog(2, "CMailItem::AddRef : count=%i\n", (int)(m_cRef + 1));
    return ++m_cRef;
}

LONG CMailItem::Release()
{
    DebugLog(2, "CMailItem::Release : count=%i\n", (int)(m_cRef - 1));
    LONG count = --m_cRef;
    if (count == 0)
        delete this;
    return count;
}

int CMailItem::OnSend()
{
    if (!m_switch || !m_switch->IsTrackingOn())
        return 0;
    if (m_bSendHandled) {
        DebugLog(1, "This send is marked already\n");
        return 0;
    }
    // Both of Outlook's events of one send come before its loop runs again;
    // a send that is refused brings no second one, and may be tried again.
    m_bSendHandled = true;
    struct Forget
    {
        CMailItem *item;
        bool goesOn = false;
        ~Forget()
        {
            std::weak_ptr<CMailItem *> self = item->m_self;
            if (!goesOn || !PostToOutlookThread([self] {
                    if (std::shared_ptr<CMailItem *> alive = self.lock())
                        (*alive)->m_bSendHandled = false;
                }))
                item->m_bSendHandled = false;
        }
    } forget{this};
    forget.goesOn = MarkForTracking() != 0;
    return forget.goesOn ? 0 : 1;
}

bool CMailItem::IsPlainTextOrRtf()
{
    Variant format;
    return DispGetProperty(m_pMailItem.Get(), L"BodyFormat", format.Receive()) == S_OK &&
           (HoldsInteger(*format.Get(), kOlFormatPlain) || HoldsInteger(*format.Get(), kOlFormatRichText));
}

HWND CMailItem::MailWindow()
{
    if (m_bKeepWindowShown)
        return m_hOwner;
    HWND window = nullptr;
    try {
        ComPtr<IDispatch> inspector = om::AsDispatch(om::Get(m_pMailItem.Get(), L"GetInspector", IID__MailItem));
        ComPtr<IOleWindow> oleWindow;
        if (inspector && SUCCEEDED(inspector->QueryInterface(IID_IOleWindow, oleWindow.ReceiveVoid())) && oleWindow)
            oleWindow->GetWindow(&window);
    } catch (...) {
        window = nullptr; // the question still comes, owned by Outlook's main window
    }
    return window;
}

int CMailItem::AskHtmlOnly()
{
    // No: send untracked; Yes: cancel so the user can switch the format.
    int answer = MessageBoxA(PromptOwner(MailWindow()), kHtmlOnlyText, QUORVIA_CAPTION, MB_YESNO | MB_ICONWARNING);
    return answer == IDNO ? 1 : 0;
}

int CMailItem::MarkForTracking()
{
    // Today's Outlook gives a plain-text or RTF message an HTMLBody too, a
    // rendering of its text: marking it would convert the message behind the
    // user's back, so the user decides first.
    if (IsPlainTextOrRtf())
        return AskHtmlOnly();

    om::Call(m_pMailItem.Get(), L"Save", IID__MailItem);

    SourceResult result = MarkHtmlBodyProperty();
    if (!result.available)
        result = MarkBodyStream(kPrHtml);
    if (!result.available)
        result = MarkBodyStream(kPrBodyHtmlA);
    if (!result.available)
        return AskHtmlOnly();
    if (!result.marked)
        return result.outcome;

    MapiBuffer format;
    bool editorIsHtml = m_pMessage && GetOneProp(m_pMessage.Get(), kPrMsgEditorFormat, &format.value) == S_OK &&
                        format.value && format.value->Value.l == kEditorFormatHtml;
    if (!editorIsHtml)
        ForceHtmlFormat();
    return 1;
}

CMailItem::SourceResult CMailItem::MarkHtmlBodyProperty()
{
    Variant body = om::Get(m_pMailItem.Get(), L"HTMLBody", IID__MailItem);
    if (body.Type() != VT_BSTR || body.Get()->bstrVal == nullptr)
        return {false, false, 0};

    Variant again = om::Get(m_pMailItem.Get(), L"HTMLBody", IID__MailItem);
    std::wstring html;
    if (again.Type() == VT_BSTR && again.Get()->bstrVal)
        html.assign(again.Get()->bstrVal, SysStringLen(again.Get()->bstrVal));

    std::wstring fragment;
    int outcome = ExchangeInBackground(&fragment);
    if (outcome != -1)
        return {false, true, outcome};

    // Marked as UTF-16: the ANSI code page would destroy every character it cannot hold.
    try {
        std::wstring marked = InsertTrackingFragment(html, fragment);
        BStr text = BStr::FromWide(marked.data(), static_cast<UINT>(marked.size()));
        if (!text.Get())
            ThrowComError(E_OUTOFMEMORY);
        om::Put(m_pMailItem.Get(), L"HTMLBody", Variant::Str(std::move(text)), IID__MailItem);
    } catch (...) {
        ShowWindowAgain();
        throw;
    }
    ShowWindowUnlessSent();
    return {true, true, -1};
}

CMailItem::SourceResult CMailItem::MarkBodyStream(ULONG tag)
{
    if (!m_pMessage)
        return {false, false, 0};
    ComPtr<IStream> reader;
    if (m_pMessage->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<IUnknown **>(reader.Receive())) != S_OK ||
        !reader)
        return {false, false, 0};
    std::string content;
    if (!ReadWholeStream(reader.Get(), content))
        return {false, false, 0};
    reader.Reset();

    // Without a way to write the body back, nothing is asked of the service.
    ComPtr<IStream> writer;
    // Writing needs MAPI_MODIFY; without it today's stores refuse with MAPI_E_NO_ACCESS.
    if (m_pMessage->OpenProperty(tag, &IID_IStream, STGM_WRITE, MAPI_MODIFY,
                                 reinterpret_cast<IUnknown **>(writer.Receive())) != S_OK ||
        !writer)
        return {false, false, 0};

    std::wstring fragment;
    int outcome = ExchangeInBackground(&fragment);
    if (outcome != -1)
        return {false, true, outcome};

    try {
        std::string marked = InsertTrackingFragment(content, AnsiFromWide(fragment.c_str(), (int)fragment.size()));
        WriteWholeStream(writer.Get(), marked);
        ThrowIfFailed(writer->Commit(STGC_OVERWRITE), IID_IStream);
    } catch (...) {
        ShowWindowAgain();
        throw;
    }
    ShowWindowUnlessSent();
    return {true, true, -1};
}

void CMailItem::ForceHtmlFormat()
{
    if (m_pMessage) {
        SPropValue value = {};
        value.ulPropTag = kPrInetMailOverrideFormat;
        value.Value.l = kOverrideFormatHtml;
        SetOneProp(m_pMessage.Get(), &value);
        value.ulPropTag = kPrMsgEditorFormat;
        value.Value.l = kEditorFormatHtml;
        SetOneProp(m_pMessage.Get(), &value);
    }

    ComPtr<IDispatch> dispatch;
    m_pMailItem->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid());
    if (!dispatch)
        return;
    Variant format;
    if (DispGetProperty(dispatch.Get(), L"BodyFormat", format.Receive()) == S_OK &&
        !HoldsInteger(*format.Get(), kOlFormatHtml)) {
        Variant html = Variant::I4(kOlFormatHtml);
        Variant result;
        DispPutProperty(dispatch.Get(), L"BodyFormat", result.Receive(), 1, html.Get());
    }
}

namespace {

// One string property as the store gives it for exactly this tag; nothing
// when the call fails or the property comes back as an error.
std::optional<std::wstring> ReadStringProperty(IMAPIProp *message, ULONG tag, ULONG flags, HRESULT *result)
{
    SizedSPropTagArray(1, tags) = {1, {tag}};
    ULONG count = 0;
    MapiBuffer values;
    *result = message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), flags, &count, &values.value);
    if (FAILED(*result) || !values.value || count < 1)
        return std::nullopt;
    const SPropValue &value = values.value[0];
    switch (PROP_TYPE(value.ulPropTag)) {
    case PT_UNICODE:
        return value.Value.lpszW ? std::wstring(value.Value.lpszW) : std::wstring();
    case PT_STRING8: {
        // Converted in full, however long.
        if (!value.Value.lpszA)
            return std::wstring();
        int length = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, value.Value.lpszA, -1, nullptr, 0);
        if (length <= 1)
            return std::wstring();
        std::wstring wide(length, L'\0');
        MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, value.Value.lpszA, -1, &wide[0], length);
        wide.resize(length - 1);
        return wide;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::wstring CMailItem::GetMessageString(ULONG tag)
{
    if (!m_pMessage)
        return std::wstring();
    // The Unicode form first: today's stores answer an 8-bit tag in the ANSI
    // code page, whatever the flags, and every other script would become '?'.
    HRESULT hr = S_OK;
    if (std::optional<std::wstring> wide =
            ReadStringProperty(m_pMessage.Get(), CHANGE_PROP_TYPE(tag, PT_UNICODE), MAPI_UNICODE, &hr))
        return *wide;
    // A store without the Unicode form: the 8-bit tag.
    std::optional<std::wstring> narrow = ReadStringProperty(m_pMessage.Get(), CHANGE_PROP_TYPE(tag, PT_STRING8), 0, &hr);
    return narrow.value_or(std::wstring());
}

std::string CMailItem::BuildTrackingRequest(std::wstring *subjectOut)
{
    constexpr ULONG kPrDisplayTo = 0x0E04001E;
    constexpr ULONG kPrDisplayCc = 0x0E03001E;
    constexpr ULONG kPrDisplayBcc = 0x0E02001E;
    constexpr ULONG kPrNormalizedSubject = 0x0E1D001E;

    std::wstring recipients = GetMessageString(kPrDisplayTo);
    std::wstring cc = GetMessageString(kPrDisplayCc);
    std::wstring bcc = GetMessageString(kPrDisplayBcc);
    if (!cc.empty())
        recipients += L"; " + cc;
    if (!bcc.empty())
        recipients += L"; " + bcc;
    std::wstring subject = GetMessageString(kPrNormalizedSubject);
    if (subjectOut)
        *subjectOut = subject;

    // The account goes out as the UTF-8 bytes of its text: the same bytes as
    // before for ASCII, and the service can read every other script too.
    std::string login = m_account ? Utf8FromWide(m_account->Login()) : std::string();
    std::string password = m_account ? Utf8FromWide(m_account->Password()) : std::string();

    // UTF-16 code units go out as their little-endian bytes.
    std::string body = "login=";
    body += HexEscapeBytesA(login.data(), login.size());
    body += "&password=";
    body += HexEscapeBytesA(password.data(), password.size());
    body += "&to=";
    body += HexEscapeBytesA(recipients.data(), recipients.size() * sizeof(wchar_t));
    body += "&subj=";
    body += HexEscapeBytesA(subject.data(), subject.size() * sizeof(wchar_t));
    body += "&raw=1";
    return body;
}
