// Whether an Outlook item is a mail being composed: it answers _MailItem, its
// Class is olMail and it is not sent. Anything that cannot be read is not.
#pragma once

#include "com/ComPtr.h"

#include <oaidl.h>

// The item as a mail item when it is an unsent mail, else null.
ComPtr<IDispatch> UnsentMail(IUnknown *item);
