// Hex digits of %XX escapes, for the decoders of forms.
#pragma once

namespace quorvia {

// The value of one hex digit, either case; -1 for anything else.
inline int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace quorvia
