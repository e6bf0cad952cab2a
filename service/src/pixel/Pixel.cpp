#include "pixel/Pixel.h"

#include <sodium.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quorvia {

// GIF89a, 1x1, one transparent pixel: header, logical screen, a two-colour
// table, the graphic control extension marking colour 0 transparent, the
// image and its one-pixel LZW stream, the trailer.
const unsigned char kPixelGif[43] = {
    'G', 'I', 'F', '8', '9', 'a', 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00,
    0x00, 0xFF, 0xFF, 0xFF, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};

constexpr size_t kTokenBytes = 16;
constexpr size_t kTokenLength = 22; // base64url of 16 bytes, no padding

std::string NewToken()
{
    // libsodium wants its start before its generator is used; a second call does nothing.
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
    unsigned char bytes[kTokenBytes];
    randombytes_buf(bytes, sizeof bytes);
    char text[sodium_base64_ENCODED_LEN(kTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(text, sizeof text, bytes, sizeof bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return std::string(text);
}

bool IsTokenShaped(std::string_view text)
{
    if (text.size() != kTokenLength)
        return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

std::string TruncateAddress(std::string_view address)
{
    const std::string text(address.substr(0, 64));
    in_addr v4;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        const unsigned char *b = reinterpret_cast<const unsigned char *>(&v4);
        char out[32];
        std::snprintf(out, sizeof out, "%u.%u.%u.0/24", b[0], b[1], b[2]);
        return out;
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return "unknown";
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(v6.s6_addr, kMapped, sizeof kMapped) == 0) {
        char out[32];
        std::snprintf(out, sizeof out, "%u.%u.%u.0/24", v6.s6_addr[12], v6.s6_addr[13], v6.s6_addr[14]);
        return out;
    }
    std::memset(v6.s6_addr + 6, 0, 10);
    char out[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &v6, out, sizeof out);
    return std::string(out) + "/48";
}

} // namespace quorvia
