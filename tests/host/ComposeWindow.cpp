#include "host/ComposeWindow.h"

namespace host {
namespace {

// A part made as the given Outlook makes it.
template <class T, class... Args>
ComPtr<T> CreateFor(Generation outlook, Args &&...args)
{
    PlayOutlook playing(outlook);
    return Create<T>(std::forward<Args>(args)...);
}

} // namespace

ComposedItem::ComposedItem(const ComposeSpec &plan)
    : m_message(CreateFor<MapiMessage>(plan.outlook)), m_item(CreateFor<MailItem>(plan.outlook))
{
    MapiMessage &message = *m_message.Get();
    message.SetStringStore(plan.strings);
    message.SetString(kPrDisplayTo, plan.to);
    message.SetString(kPrDisplayCc, plan.cc);
    message.SetString(kPrDisplayBcc, plan.bcc);
    message.SetString(kPrSubject, plan.subject);
    message.SetString(kPrNormalizedSubject, plan.subject);
    if (plan.editorFormat)
        message.SetLong(kPrMsgEditorFormat, *plan.editorFormat);

    MailItem &item = *m_item.Get();
    item.SetMessage(&message);
    switch (plan.bodyIn) {
    case BodyIn::HtmlBody:
        item.SetHtmlBody(plan.html);
        break;
    case BodyIn::PrHtml:
        message.SetBinary(kPrHtml, plan.stream);
        break;
    case BodyIn::PrBodyHtml:
        message.SetString8(kPrBodyHtml, plan.stream);
        break;
    case BodyIn::PlainText:
    case BodyIn::RichText:
        item.SetValue("BodyFormat",
                      *Variant::I4(plan.bodyIn == BodyIn::PlainText ? olFormatPlain : olFormatRichText).Get());
        item.AddValue("Body", Variant::Str(BStr::FromWide(plan.html.c_str())));
        break;
    }
}

ComposeWindow::ComposeWindow(const ComposeSpec &plan)
    : m_item(plan), m_inspector(CreateFor<Inspector>(plan.outlook, plan.window))
{
    m_inspector->SetCurrentItem(&m_item.Item());
}

ComposeWindow::~ComposeWindow()
{
    // The inspector first: it gives the item back and unhooks itself from it.
    m_inspector.Reset();
}

} // namespace host
