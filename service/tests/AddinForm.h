// The feed form as the add-in writes it (MailItem.cpp, BuildTrackingRequest):
// login and password as their UTF-8 bytes, to and subj as UTF-16LE, every
// byte %XX in upper case. The fuzz target checks that whatever the decoder
// accepts is exactly this encoding of what it decoded.
#pragma once

#include "feed/FeedForm.h"

#include <cstdint>
#include <string>

namespace quorvia::test {

inline std::string HexEscape(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes)
        out += {'%', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 0x0F]};
    return out;
}

// Valid UTF-8 in, UTF-16LE bytes out.
inline std::string Utf16Le(const std::string &utf8)
{
    std::string out;
    auto unit = [&out](uint32_t u) { out += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)}; };
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = c & (0xFF >> (length == 1 ? 0 : length + 1));
        for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += length;
        if (cp < 0x10000)
            unit(cp);
        else
            unit(0xD800 + ((cp - 0x10000) >> 10)), unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    return out;
}

inline std::string AddinForm(const FeedForm &f)
{
    return "login=" + HexEscape(f.login) + "&password=" + HexEscape(f.password) + "&to=" +
           HexEscape(Utf16Le(f.recipients)) + "&subj=" + HexEscape(Utf16Le(f.subject)) + "&raw=1";
}

// The body with its hex digits in upper case, as the add-in writes them.
inline std::string UpperHex(std::string body)
{
    for (size_t i = 0; i < body.size(); ++i)
        if (body[i] >= 'a' && body[i] <= 'f' && ((i >= 1 && body[i - 1] == '%') || (i >= 2 && body[i - 2] == '%')))
            body[i] = static_cast<char>(body[i] - 'a' + 'A');
    return body;
}

} // namespace quorvia::test
