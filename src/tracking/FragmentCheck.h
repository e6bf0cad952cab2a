// What counts as a tracking fragment: the only thing of the service's that
// may go into the user's mail. Anything else is taken for no reply at all.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// The most of a reply a fragment may be.
constexpr size_t kFragmentLimit = 16 * 1024;

struct ServiceReply
{
    DWORD status = 0;
    std::string body;
    bool complete = false; // read to its end, and to its Content-Length when it gave one
    bool cut = false;      // more than the limit arrived
    std::string contentEncoding;
    std::string contentType;
};

// The fragment as text, when the reply is one: a 2xx status, the whole body,
// no content encoding but identity, at most kFragmentLimit bytes, no control
// bytes, text in UTF-8 or the charset its Content-Type names, and one element
// carrying the tracking marker, with no script, style, iframe, object or form
// in it and no on... handler. Otherwise nothing, and *reason says why.
std::optional<std::wstring> CheckFragment(const ServiceReply &reply, std::string *reason);
