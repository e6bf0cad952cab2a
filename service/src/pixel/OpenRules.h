// What kind of open a fetch of a tracking pixel is, and the rule that said
// so: one small table, first match wins. The kinds:
// - person: a mail client showing the message (Gmail's image proxy, which
//   fetches when the message is opened, counts here);
// - prefetch: a proxy that fetches on delivery whether anybody reads or not
//   (Apple's Mail Privacy Protection);
// - scanner: a security gateway or link checker;
// - sender: the sender's own Outlook showing the sent copy (the address of a
//   recent feed post of the same account).
#pragma once

#include "storage/Storage.h"

#include <string>
#include <string_view>
#include <vector>

namespace quorvia {

struct OpenFacts
{
    std::string_view userAgent;
    std::string_view address;  // truncated
    bool fromSenderAddress = false; // the account posted to the feed from this address recently
};

struct OpenKind
{
    const char *kind;
    const char *rule;
};

OpenKind ClassifyOpen(const OpenFacts &facts);

// opened: a person's open exists; maybe: only prefetches; unopened otherwise.
std::string MessageStatus(const std::vector<Open> &opens);
// The first person's open, if any.
const Open *FirstPersonOpen(const std::vector<Open> &opens);

} // namespace quorvia
