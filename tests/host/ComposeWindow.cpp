#include "host/ComposeWindow.h"

namespace host {

ComposeWindow::ComposeWindow(const ComposeSpec &spec)
    : m_message(Create<MapiMessage>()), m_item(Create<MailItem>()), m_inspector(Create<Inspector>(spec.window))
{
    MapiMessage &message = *m_message.Get();
    message.SetStringStore(spec.strings);
    message.SetString(kPrDisplayTo, spec.to);
    message.SetString(kPrDisplayCc, spec.cc);
    message.SetString(kPrDisplayBcc, spec.bcc);
    message.SetString(kPrSubject, spec.subject);
    message.SetString(kPrNormalizedSubject, spec.subject);
    if (spec.editorFormat)
        message.SetLong(kPrMsgEditorFormat, *spec.editorFormat);

    MailItem &item = *m_item.Get();
    item.SetMessage(&message);
    switch (spec.bodyIn) {
    case BodyIn::HtmlBody:
        item.SetHtmlBody(spec.html);
        break;
    case BodyIn::PrHtml:
        message.SetBinary(kPrHtml, spec.stream);
        break;
    case BodyIn::PrBodyHtml:
        message.SetString8(kPrBodyHtml, spec.stream);
        break;
    case BodyIn::PlainText:
        item.SetValue("BodyFormat", *Variant::I4(olFormatPlain).Get());
        item.AddValue("Body", Variant::Str(BStr::FromWide(spec.html.c_str())));
        break;
    }
    m_inspector->SetCurrentItem(&item);
}

ComposeWindow::~ComposeWindow()
{
    // The inspector first: it gives the item back and unhooks itself from it.
    m_inspector.Reset();
    m_item.Reset();
    m_message.Reset();
}

} // namespace host
