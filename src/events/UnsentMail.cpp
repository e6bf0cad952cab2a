#include "events/UnsentMail.h"

#include "com/Guids.h"
#include "com/ObjectModel.h"

namespace {

constexpr LONG kOlMail = 43;

} // namespace

ComPtr<IDispatch> UnsentMail(IUnknown *item)
{
    ComPtr<IDispatch> mailItem = om::QueryOptional<IDispatch>(item, IID__MailItem);
    if (!mailItem)
        return mailItem;

    // A Class that cannot be read is not taken for a mail.
    Variant itemClass;
    if (FAILED(om::TryInvoke(mailItem.Get(), L"Class", DISPATCH_PROPERTYGET, {}, itemClass.Receive())))
        return ComPtr<IDispatch>();
    Variant asInteger;
    if (FAILED(VariantChangeType(asInteger.Get(), itemClass.Get(), 0, VT_I4)) || asInteger.Get()->lVal != kOlMail)
        return ComPtr<IDispatch>();

    Variant sent = om::Get(mailItem.Get(), L"Sent", IID__MailItem);
    Variant sentFlag;
    if (FAILED(VariantChangeType(sentFlag.Get(), sent.Get(), 0, VT_BOOL)) || sentFlag.Get()->boolVal != 0)
        return ComPtr<IDispatch>();
    return mailItem;
}
