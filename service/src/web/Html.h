// Markup of the service's pages. Every piece of text that came from a person
// or a mail client goes through Escape, and nothing else puts text into a
// page. The style and the one script are constants in the page, allowed by
// their hashes in the Content-Security-Policy: no other script runs, nothing
// is loaded from elsewhere.
#pragma once

#include "storage/Storage.h"

#include <string>
#include <string_view>

namespace httplib {
struct Response;
}

namespace quorvia {

// Text for an element or a quoted attribute: & < > " ' as references, and
// control characters (but tab and line ends) as U+FFFD.
std::string Escape(std::string_view text);

struct PageFrame
{
    std::string title;     // text, escaped here
    std::string signedInAs; // the account's address, or empty when signed out
    std::string formToken;  // for the sign-out form
};

// A whole document: the header with its navigation, then `main` (markup).
std::string Document(const PageFrame &frame, const std::string &main);

// Sends a document with the headers every page has: no caching, no
// referrer (a reset link's token stays out of other sites' logs), no framing.
void SendPage(httplib::Response &response, int status, const std::string &document);

// <time datetime="ISO UTC">...UTC</time>; the page's script shows it in the
// reader's time zone.
std::string TimeTag(TimePoint at);

// <input type="hidden" name="form_token" ...>
std::string FormTokenField(const std::string &token);

} // namespace quorvia
