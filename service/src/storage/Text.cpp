#include "storage/Text.h"

namespace quorvia {
namespace {

// The length of the valid UTF-8 sequence that starts `s` (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), 0 for none; NUL is
// none too.
size_t SequenceLength(const unsigned char *s, size_t left)
{
    const unsigned char c = s[0];
    if (c >= 0x01 && c < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c == 0xE0)
        length = 3, low = 0xA0;
    else if (c == 0xED)
        length = 3, high = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF)
        length = 3;
    else if (c == 0xF0)
        length = 4, low = 0x90;
    else if (c >= 0xF1 && c <= 0xF3)
        length = 4;
    else if (c == 0xF4)
        length = 4, high = 0x8F;
    else
        return 0;
    if (left < length || s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return length;
}

} // namespace

const std::string &CleanText(const std::string &text, std::string &scratch)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        const size_t length = SequenceLength(s + i, size - i);
        if (length == 0)
            break;
        i += length;
    }
    if (i == size)
        return text;
    scratch.assign(text, 0, i);
    while (i < size) {
        const size_t length = SequenceLength(s + i, size - i);
        if (length == 0) {
            scratch += "\xEF\xBF\xBD";
            ++i;
        } else {
            scratch.append(text, i, length);
            i += length;
        }
    }
    return scratch;
}

} // namespace quorvia
