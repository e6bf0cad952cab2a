#include "host/MailItem.h"

#include "com/Guids.h"
#include "host/Inspector.h"
#include "host/Text.h"

namespace host {

MailItem::MailItem() : DispObject("MailItem", {IID__MailItem}), m_generation(CurrentGeneration())
{
    AddMethod("Save", [this](Invocation &) {
        ++m_saves;
        return S_OK;
    });
    AddProperty(
        "HTMLBody",
        [this](Invocation &call) {
            std::optional<std::wstring> body = m_htmlBody;
            if (!body && m_generation == Generation::Outlook2016)
                body = HtmlRendering();
            BSTR text = nullptr;
            if (body) {
                text = SysAllocStringLen(body->data(), static_cast<UINT>(body->size()));
                if (!text)
                    return E_OUTOFMEMORY;
            }
            call.Result()->vt = VT_BSTR;
            call.Result()->bstrVal = text;
            return S_OK;
        },
        [this](Invocation &call) {
            // Taken as given: a conversion would turn a null string into an empty one.
            const VARIANT &value = call.Value();
            BSTR s;
            if (value.vt == VT_BSTR)
                s = value.bstrVal;
            else if (value.vt == (VT_BSTR | VT_BYREF) && value.pbstrVal)
                s = *value.pbstrVal;
            else
                return DISP_E_TYPEMISMATCH;
            if (s)
                m_htmlBody = std::wstring(s, SysStringLen(s));
            else
                m_htmlBody.reset();
            return S_OK;
        });
    AddProperty("MAPIOBJECT", [this](Invocation &call) {
        call.Result()->vt = m_message ? VT_UNKNOWN : VT_EMPTY;
        if (m_message) {
            call.Result()->punkVal = static_cast<IMessage *>(m_message.Get());
            m_message->AddRef();
        }
        return S_OK;
    });
    AddProperty("GetInspector", [this](Invocation &call) {
        if (m_inline)
            return E_FAIL;
        call.Result()->vt = VT_DISPATCH;
        call.Result()->pdispVal = m_inspector;
        if (m_inspector)
            m_inspector->AddRef();
        return S_OK;
    });
    AddValue("BodyFormat", Variant::I4(olFormatHTML));
    AddValue("Class", Variant::I4(olMail));
    AddValue("Sent", Variant::Bool(false));
    AddValue("Submitted", Variant::Bool(false));
    m_events = &AddEventSource(*this, DIID_ItemEvents);
}

void MailItem::SetMessage(MapiMessage *message)
{
    m_message = ComPtr<MapiMessage>::Borrow(message);
}

void MailItem::SetHtmlBody(const std::wstring &body)
{
    m_htmlBody = body;
}

void MailItem::SetHtmlBodyNull()
{
    m_htmlBody.reset();
}

// What Outlook 2016 gives as HTMLBody for an item without one: the HTML kept
// in the message, else the text of a plain-text or RTF body put into a page.
std::wstring MailItem::HtmlRendering() const
{
    if (m_message && m_message->Has(kPrHtml))
        return m_message->Text(kPrHtml);
    if (m_message && m_message->Has(kPrBodyHtml))
        return m_message->Text(kPrBodyHtml);
    Variant body = Value("Body");
    std::wstring text = body.Type() == VT_BSTR && body.Get()->bstrVal ? body.Get()->bstrVal : L"";
    std::wstring page = L"<html><body><p>";
    for (wchar_t c : text) {
        switch (c) {
        case L'&': page += L"&amp;"; break;
        case L'<': page += L"&lt;"; break;
        case L'>': page += L"&gt;"; break;
        case L'\n': page += L"<br>"; break;
        default: page += c; break;
        }
    }
    return page + L"</p></body></html>";
}

LONG MailItem::BodyFormat() const
{
    Variant format = Value("BodyFormat");
    return format.Type() == VT_I4 ? format.Get()->lVal : -1;
}

bool MailItem::IsSent() const
{
    Variant sent = Value("Sent");
    return sent.Type() == VT_BOOL && sent.Get()->boolVal != VARIANT_FALSE;
}

bool MailItem::FireRefused(DISPID id, HRESULT &hr)
{
    VARIANT_BOOL cancel = VARIANT_FALSE;
    Variant result;
    hr = m_events->Fire(id, {ByRefBool(&cancel)}, result.Receive());
    if (m_generation == Generation::Outlook2003)
        return result.Type() == VT_BOOL && result.Get()->boolVal == VARIANT_FALSE;
    return cancel != VARIANT_FALSE;
}

bool MailItem::FireClose()
{
    Pin alive(*this);
    HRESULT ignored;
    return !FireRefused(kItemEventClose, ignored);
}

bool MailItem::Send()
{
    Pin alive(*this);
    return !FireSendRefused() && Submit();
}

bool MailItem::FireSendRefused()
{
    Pin alive(*this);
    return FireRefused(kItemEventSend, m_lastSendHr);
}

bool MailItem::Submit()
{
    if (m_refusesToSend)
        return false;

    SentMail mail;
    mail.htmlBody = m_htmlBody;
    if (m_message && m_message->Has(kPrHtml))
        mail.html = m_message->Bytes(kPrHtml);
    if (m_message && m_message->Has(kPrBodyHtml))
        mail.bodyHtml = m_message->Bytes(kPrBodyHtml);
    m_sent = std::move(mail);
    SetValue("Sent", *Variant::Bool(true).Get());
    SetValue("Submitted", *Variant::Bool(true).Get());
    if (m_inspector)
        m_inspector->Close();
    return true;
}

} // namespace host
