// ComposeWindow: one compose window of the stand-in host put together: a mail
// item, its MAPI message (recipients' display strings, subject, body) and its
// inspector. The body sits where the test asks: in HTMLBody, only in the
// message's PR_HTML or PR_BODY_HTML, or nowhere as HTML (a plain-text mail).
// ComposedItem is the same item and message without a window: an inline
// response, or an item another program made.
#pragma once

#include "host/Generation.h"
#include "host/Inspector.h"
#include "host/MailItem.h"
#include "host/MapiMessage.h"

#include <optional>
#include <string>

namespace host {

enum class BodyIn
{
    HtmlBody,   // HTMLBody holds `html`
    PrHtml,     // HTMLBody null; PR_HTML (binary) holds `stream`
    PrBodyHtml, // HTMLBody null; PR_BODY_HTML (8-bit) holds `stream`
    PlainText,  // no HTML body or property; BodyFormat olFormatPlain, Body holds `html`
    RichText,   // as PlainText, with BodyFormat olFormatRichText
};

struct ComposeSpec
{
    std::wstring to;
    std::wstring cc;
    std::wstring bcc;
    std::wstring subject;
    BodyIn bodyIn = BodyIn::HtmlBody;
    std::wstring html = L"<html><body>Hello</body></html>";
    std::string stream = "<html><body>Hello</body></html>";
    Inspector::Window window = Inspector::Window::Shown;
    StringStore strings = StringStore::Unicode;
    // PR_MSG_EDITOR_FORMAT, when the message has one.
    std::optional<LONG> editorFormat;
    // The Outlook whose item, message and window these are.
    Generation outlook = CurrentGeneration();
};

// A mail item and its MAPI message, as `plan` describes them (its window aside).
class ComposedItem
{
public:
    explicit ComposedItem(const ComposeSpec &plan = ComposeSpec());
    ComposedItem(const ComposedItem &) = delete;
    ComposedItem &operator=(const ComposedItem &) = delete;

    MailItem &Item() const { return *m_item.Get(); }
    MapiMessage &Message() const { return *m_message.Get(); }
    // The mail item as the add-in receives it.
    IDispatch *ItemDispatch() const { return m_item.Get(); }

private:
    ComPtr<MapiMessage> m_message;
    ComPtr<MailItem> m_item;
};

class ComposeWindow
{
public:
    explicit ComposeWindow(const ComposeSpec &plan = ComposeSpec());
    ComposeWindow(const ComposeWindow &) = delete;
    ComposeWindow &operator=(const ComposeWindow &) = delete;
    ~ComposeWindow();

    MailItem &Item() const { return m_item.Item(); }
    MapiMessage &Message() const { return m_item.Message(); }
    Inspector &Window() const { return *m_inspector.Get(); }
    IDispatch *ItemDispatch() const { return m_item.ItemDispatch(); }

private:
    ComposedItem m_item;
    ComPtr<Inspector> m_inspector;
};

} // namespace host
