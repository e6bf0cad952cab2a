// The tracking fragment the feed answers with: the only markup of the
// service's that goes into the user's mail, so it is one inert element the
// add-in's own check accepts (an img with alt="qvmk", no handler, no script,
// no control bytes, far below its 16 KB).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvia {

constexpr size_t kMaxPublicUrl = 2048;

// Whether a URL can be the base of the pixel's address: http:// or https://
// and a host, printable ASCII with no quote, '<', '>', '`', '\', '?' or '#'
// (the pixel's path is appended to it), at most kMaxPublicUrl bytes. The
// server checks its configuration with this at start.
bool IsUsablePublicUrl(std::string_view url);

// <img alt="qvmk" src="PUBLICURL/t/TOKEN.gif" ...>, its attributes escaped.
// Empty when the URL is not usable or the token is not token-shaped.
std::string TrackingFragment(const std::string &publicUrl, const std::string &token);

} // namespace quorvia
