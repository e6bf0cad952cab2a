// MailItem: the stand-in Outlook mail item (_MailItem). Save, HTMLBody (a null
// string and an empty one are different), MAPIOBJECT (the item's MapiMessage
// as VT_UNKNOWN), GetInspector (its window), BodyFormat, Class, Sent, and the
// ItemEvents connection point. Send() plays Outlook's part in a send.
#pragma once

#include "host/ConnectionPoints.h"
#include "host/DispObject.h"
#include "host/Generation.h"
#include "host/MapiMessage.h"

#include <optional>
#include <string>

namespace host {

class Inspector;

// Outlook's OlBodyFormat values.
const LONG olFormatUnspecified = 0;
const LONG olFormatPlain = 1;
const LONG olFormatHTML = 2;
const LONG olFormatRichText = 3;
// OlObjectClass of a mail item.
const LONG olMail = 43;

// ItemEvents DISPIDs.
const DISPID kItemEventOpen = 0xF003;
const DISPID kItemEventClose = 0xF004;
const DISPID kItemEventSend = 0xF005;
const DISPID kItemEventWrite = 0xF002;

// What left the outbox when a send went through.
struct SentMail
{
    std::optional<std::wstring> htmlBody; // nothing: HTMLBody was null
    std::optional<std::string> html;      // PR_HTML bytes, when the message had them
    std::optional<std::string> bodyHtml;  // PR_BODY_HTML bytes, when the message had them
};

class MailItem : public DispObject
{
public:
    // An unsent HTML mail item: HTMLBody null until set, BodyFormat olFormatHTML.
    MailItem();

    // The MAPI message behind MAPIOBJECT (a reference is held); null: MAPIOBJECT gives VT_EMPTY.
    void SetMessage(MapiMessage *message);
    MapiMessage *Message() const { return m_message.Get(); }

    // HTMLBody as set: Outlook 2003 gives a null string for an item without
    // one, 2016 a rendering (see Generation.h).
    void SetHtmlBody(const std::wstring &body);
    void SetHtmlBodyNull();
    bool HtmlBodyIsNull() const { return !m_htmlBody.has_value(); }
    std::wstring HtmlBody() const { return m_htmlBody.value_or(std::wstring()); }

    LONG BodyFormat() const;
    unsigned SaveCount() const { return m_saves; }

    // The window GetInspector gives; set by the Inspector itself, which the
    // item does not keep alive.
    void SetInspector(Inspector *inspector) { m_inspector = inspector; }
    Inspector *GetInspectorObject() const { return m_inspector; }
    // An inline response's item: GetInspector fails with E_FAIL. Nobody has
    // confirmed what real Outlook gives there, so the add-in must not rely on it.
    void SetInline() { m_inline = true; }

    EventSource &Events() { return *m_events; }

    // Fires Send (0xF005) with a by-reference VARIANT_BOOL Cancel. Cancel set
    // TRUE (Outlook 2016) or a result of VT_BOOL FALSE (Outlook 2003) cancels:
    // the item stays unsent and its window open. Otherwise the item is sent
    // (Submit). Returns true when sent. ApplicationEvents ItemSend is
    // Outlook's part: see Outlook::Send.
    bool Send();
    // The item's Send event alone; true when a sink cancelled.
    bool FireSendRefused();
    // The send itself once every sink agreed: false when Outlook refuses it
    // (SetRefusesToSend); else what went out is recorded, Sent and Submitted
    // become TRUE and the window closes.
    bool Submit();
    // Fires Close (0xF004) the same way; true when nobody refused it.
    bool FireClose();
    // Outlook refuses the send itself once every sink agreed (a recipient it
    // cannot resolve, say): the item stays unsent and its window open.
    void SetRefusesToSend(bool refuses) { m_refusesToSend = refuses; }
    // The HRESULT of the last Send firing.
    HRESULT LastSendResult() const { return m_lastSendHr; }
    bool IsSent() const;
    const std::optional<SentMail> &Sent() const { return m_sent; }

protected:
    ~MailItem() override = default;

private:
    // Fires a cancellable event as this item's Outlook does; true when it was refused.
    bool FireRefused(DISPID id, HRESULT &hr);
    std::wstring HtmlRendering() const;

    const Generation m_generation;
    ComPtr<MapiMessage> m_message;
    std::optional<std::wstring> m_htmlBody;
    unsigned m_saves = 0;
    Inspector *m_inspector = nullptr;
    EventSource *m_events;
    HRESULT m_lastSendHr = S_OK;
    bool m_refusesToSend = false;
    bool m_inline = false;
    std::optional<SentMail> m_sent;
};

} // namespace host
