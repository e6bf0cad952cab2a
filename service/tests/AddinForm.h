// The feed form as the add-in writes it (MailItem.cpp, BuildTrackingRequest):
// login and password as their UTF-8 bytes, to and subj as UTF-16LE, every
// byte %XX in upper case. For the tests and the fuzz target, which checks that
// whatever the decoder accepts is exactly this encoding of what it decoded.
#pragma once

#include "feed/FeedForm.h"

#include <cstdint>
#include <string>

namespace quorvia::test {

inline std::string HexEscape(const std::string &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

// Valid UTF-8 in, UTF-16LE bytes out.
inline std::string Utf16Le(const std::string &utf8)
{
    std::string out;
    auto unit = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += length;
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

inline std::string AddinForm(const FeedForm &form)
{
    return "login=" + HexEscape(form.login) + "&password=" + HexEscape(form.password) +
           "&to=" + HexEscape(Utf16Le(form.recipients)) + "&subj=" + HexEscape(Utf16Le(form.subject)) + "&raw=1";
}

// The body with its hex digits in upper case, as the add-in writes them.
inline std::string UpperHex(std::string body)
{
    for (size_t i = 0; i < body.size(); ++i)
        if (body[i] == '%')
            for (size_t k = i + 1; k < i + 3 && k < body.size(); ++k)
                if (body[k] >= 'a' && body[k] <= 'f')
                    body[k] = static_cast<char>(body[k] - 'a' + 'A');
    return body;
}

} // namespace quorvia::test
