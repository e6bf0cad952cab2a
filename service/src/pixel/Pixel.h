// The tracking pixel: its token, its image, and the addresses of who fetched it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvia {

// The transparent 1x1 GIF every pixel request gets, known token or not.
extern const unsigned char kPixelGif[43];

// A new unguessable token: 128 random bits (libsodium), base64url, 22 characters.
std::string NewToken();
// Whether text could be a token at all (22 base64url characters).
bool IsTokenShaped(std::string_view text);

// The client address as the service keeps it: IPv4 to its /24
// ("203.0.113.0/24"), IPv6 to its /48 ("2001:db8:1::/48"), an IPv4-mapped
// IPv6 address as IPv4. Anything that is no address gives "unknown".
std::string TruncateAddress(std::string_view address);

} // namespace quorvia
