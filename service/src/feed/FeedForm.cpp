#include "feed/FeedForm.h"

#include "util/Hex.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>

namespace quorvia {

namespace {

// The fields in the order the add-in writes them.
constexpr std::string_view kFields[] = {"login", "password", "to", "subj", "raw"};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

// A name as a reason may quote it: printable ASCII, at most 32 characters.
std::string Quoted(std::string_view name)
{
    std::string out = "'";
    for (size_t i = 0; i < name.size() && i < 32; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (name.size() > 32)
        out += "...";
    return out + "'";
}

std::string AtOffset(size_t offset)
{
    return " at offset " + std::to_string(offset);
}

// Every byte of a value is %XX: one spelling per byte, so there is one way to
// read it, and '+' never has to mean a space. Unescaped characters, even
// unreserved ones, are refused: the add-in never writes them, so one is a sign
// of some other client whose form this is not.
bool Unescape(std::string_view value, size_t offset, std::string_view field, std::string *bytes, std::string *reason)
{
    bytes->reserve(value.size() / 3);
    for (size_t i = 0; i < value.size(); i += 3) {
        if (value[i] != '%') {
            *reason = "unescaped character " + Quoted(value.substr(i, 1)) + " in " + std::string(field) +
                      AtOffset(offset + i) + " (every byte must be %XX)";
            return false;
        }
        const int high = i + 1 < value.size() ? HexValue(value[i + 1]) : -1;
        const int low = i + 2 < value.size() ? HexValue(value[i + 2]) : -1;
        if (high < 0 || low < 0) {
            *reason = "malformed escape in " + std::string(field) + AtOffset(offset + i);
            return false;
        }
        bytes->push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

void AppendUtf8(uint32_t cp, std::string *out)
{
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF)
// and no NUL: the databases take text as C strings, where a NUL would cut it.
// `offset` is where the value starts in the body; each byte there is 3 long.
bool CheckUtf8(const std::string &bytes, size_t offset, std::string_view field, std::string *reason)
{
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        size_t length = 0;
        uint32_t cp = 0, min = 0;
        if (c == 0) {
            *reason = "NUL character in " + std::string(field) + AtOffset(offset + 3 * i);
            return false;
        }
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            length = 2, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, cp = c & 0x07, min = 0x10000;
        }
        bool valid = length != 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (s[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (!valid || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            *reason = "invalid UTF-8 in " + std::string(field) + AtOffset(offset + 3 * i);
            return false;
        }
        i += length;
    }
    return true;
}

// UTF-16LE code units, surrogates in pairs, no NUL; as UTF-8.
bool Utf16LeToUtf8(const std::string &bytes, size_t offset, std::string_view field, std::string *out,
                   std::string *reason)
{
    if (bytes.size() % 2 != 0) {
        *reason = "odd number of UTF-16 bytes in " + std::string(field) + " (" + std::to_string(bytes.size()) + ")";
        return false;
    }
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t units = bytes.size() / 2;
    out->reserve(bytes.size() * 3 / 2);
    for (size_t u = 0; u < units; ++u) {
        uint32_t cp = s[2 * u] | (s[2 * u + 1] << 8);
        const size_t at = offset + 6 * u;
        if (cp == 0) {
            *reason = "NUL character in " + std::string(field) + AtOffset(at);
            return false;
        }
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            *reason = "lone low surrogate in " + std::string(field) + AtOffset(at);
            return false;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            const uint32_t next = u + 1 < units ? (s[2 * u + 2] | (s[2 * u + 3] << 8)) : 0;
            if (next < 0xDC00 || next > 0xDFFF) {
                *reason = "lone high surrogate in " + std::string(field) + AtOffset(at);
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
            ++u;
        }
        AppendUtf8(cp, out);
    }
    return true;
}

std::optional<FeedForm> Decode(std::string_view body, std::string *reason)
{
    if (body.size() > kMaxFeedForm) {
        *reason = "body of " + std::to_string(body.size()) + " bytes is over the limit of " +
                  std::to_string(kMaxFeedForm);
        return std::nullopt;
    }
    if (body.empty()) {
        *reason = "empty body";
        return std::nullopt;
    }

    FeedForm form;
    std::string bytes;
    size_t next = 0; // index in kFields of the field expected next
    size_t at = 0;
    for (;;) {
        const size_t end = std::min(body.find('&', at), body.size());
        const std::string_view piece = body.substr(at, end - at);
        const size_t eq = piece.find('=');
        if (eq == std::string_view::npos) {
            *reason = "field without '='" + AtOffset(at);
            return std::nullopt;
        }
        const std::string_view name = piece.substr(0, eq);
        const std::string_view value = piece.substr(eq + 1);
        const size_t valueAt = at + eq + 1;

        size_t index = 0;
        while (index < kFieldCount && kFields[index] != name)
            ++index;
        if (index == kFieldCount) {
            *reason = "unknown field " + Quoted(name) + AtOffset(at);
            return std::nullopt;
        }
        if (index < next) {
            *reason = "field " + Quoted(name) + " appears twice" + AtOffset(at);
            return std::nullopt;
        }
        if (index > next) {
            *reason = "missing field " + Quoted(kFields[next]) + " before " + Quoted(name);
            return std::nullopt;
        }
        ++next;

        if (name == "raw") {
            if (value != "1") {
                *reason = "raw must be 1" + AtOffset(valueAt);
                return std::nullopt;
            }
        } else {
            bytes.clear();
            if (!Unescape(value, valueAt, name, &bytes, reason))
                return std::nullopt;
            if (name == "login" || name == "password") {
                if (!CheckUtf8(bytes, valueAt, name, reason))
                    return std::nullopt;
                (name == "login" ? form.login : form.password) = bytes;
            } else if (!Utf16LeToUtf8(bytes, valueAt, name, name == "to" ? &form.recipients : &form.subject,
                                      reason)) {
                return std::nullopt;
            }
        }

        if (end == body.size())
            break;
        at = end + 1;
        if (next == kFieldCount) {
            *reason = "more after raw=1" + AtOffset(end);
            return std::nullopt;
        }
    }
    if (next < kFieldCount) {
        *reason = "missing field " + Quoted(kFields[next]);
        return std::nullopt;
    }
    return form;
}

} // namespace

std::optional<FeedForm> DecodeFeedForm(std::string_view body, std::string *reason)
{
    std::string ignored;
    std::string &why = reason ? *reason : ignored;
    try {
        return Decode(body, &why);
    } catch (const std::bad_alloc &) {
        // Bounded by kMaxFeedForm, so only a machine already out of memory gets here.
        try {
            why = "out of memory";
        } catch (...) {
        }
        return std::nullopt;
    }
}

} // namespace quorvia
