#include "tracking/TrackingFragment.h"

#include "com/ComError.h"

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace {

template <class Ch>
Ch LowerAscii(Ch c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<Ch>(c - 'A' + 'a') : c;
}

template <class Ch>
bool IsTagNameEnd(Ch c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '>' || c == '/';
}

constexpr size_t npos = static_cast<size_t>(-1);

// The first `c` at or after `from`. Looks at eight bytes at a time: the
// runtime's own memchr under Wine goes byte by byte, which made the scans of a
// large body the slowest part of a send.
template <class Ch>
size_t FindCharFrom(const Ch *text, size_t length, size_t from, Ch c)
{
    using Unit = typename std::make_unsigned<Ch>::type;
    constexpr size_t kPerWord = sizeof(uint64_t) / sizeof(Ch);
    constexpr uint64_t kOnes = sizeof(Ch) == 1 ? 0x0101010101010101ULL : 0x0001000100010001ULL;
    constexpr uint64_t kHighs = kOnes << (8 * sizeof(Ch) - 1);
    const uint64_t pattern = kOnes * static_cast<Unit>(c);
    size_t i = from;
    for (; i + kPerWord <= length; i += kPerWord) {
        uint64_t word;
        memcpy(&word, text + i, sizeof word);
        uint64_t x = word ^ pattern;
        if (((x - kOnes) & ~x & kHighs) == 0)
            continue; // no lane holds c
        for (size_t j = 0; j < kPerWord; ++j)
            if (text[i + j] == c)
                return i + j;
    }
    for (; i < length; ++i)
        if (text[i] == c)
            return i;
    return npos;
}

// Whether text[at, ...) starts with `pattern` (lower-case ASCII), letters compared without case.
template <class Ch>
bool StartsWithNoCase(const Ch *text, size_t length, size_t at, const char *pattern)
{
    for (; *pattern; ++pattern, ++at)
        if (at >= length || LowerAscii(text[at]) != static_cast<Ch>(*pattern))
            return false;
    return true;
}

// The first '<' at or after `from` followed by `name` (lower-case ASCII, e.g.
// "/body"). Jumping from '<' to '<' keeps a 10 MB body to a few milliseconds.
template <class Ch>
size_t FindTagStart(const Ch *text, size_t length, size_t from, const char *name)
{
    for (size_t at = FindCharFrom(text, length, from, Ch('<')); at != npos;
         at = FindCharFrom(text, length, at + 1, Ch('<')))
        if (StartsWithNoCase(text, length, at + 1, name))
            return at;
    return npos;
}

// The marker to take at or after `from`: the first quoted one (alt="qvmk");
// only when none follows, the first unquoted one (alt=qvmk).
template <class Ch>
bool FindMarker(const Ch *text, size_t length, size_t from, size_t &at, size_t &markerLength)
{
    size_t firstUnquoted = npos;
    for (size_t eq = FindCharFrom(text, length, from + 3, Ch('=')); eq != npos;
         eq = FindCharFrom(text, length, eq + 1, Ch('='))) {
        if (!StartsWithNoCase(text, length, eq - 3, "alt"))
            continue;
        if (StartsWithNoCase(text, length, eq + 1, "\"qvmk\"")) {
            at = eq - 3;
            markerLength = 10;
            return true;
        }
        if (firstUnquoted == npos && StartsWithNoCase(text, length, eq + 1, "qvmk"))
            firstUnquoted = eq - 3;
    }
    if (firstUnquoted == npos)
        return false;
    at = firstUnquoted;
    markerLength = 8;
    return true;
}

struct Range
{
    size_t begin;
    size_t end; // one past the last character removed
};

// Finds the tracking element around a marker at `marker`, within [from, ...).
// Fails (returns false) when the marker does not sit inside a complete tag that
// starts at or after `from`; such a marker is left in the text.
template <class Ch>
bool FindTrackingElement(const std::basic_string<Ch> &html, size_t from, size_t marker, Range &element)
{
    size_t open = html.rfind(static_cast<Ch>('<'), marker);
    if (open == std::basic_string<Ch>::npos || open < from)
        return false;
    size_t openEnd = FindCharFrom(html.data(), html.size(), marker, Ch('>'));
    if (openEnd == npos)
        return false;
    // A '>' between the '<' and the marker means the marker is not inside that tag.
    if (FindCharFrom(html.data(), html.size(), open, Ch('>')) < marker)
        return false;

    size_t nameEnd = open + 1;
    while (nameEnd < openEnd && !IsTagNameEnd(html[nameEnd]))
        ++nameEnd;
    element = {open, openEnd + 1};
    if (nameEnd == open + 1)
        return true;

    // An element with a closing tag goes up to and including that tag's '>'.
    std::string closing = "/";
    for (size_t i = open + 1; i < nameEnd; ++i) {
        Ch c = LowerAscii(html[i]);
        if (static_cast<typename std::make_unsigned<Ch>::type>(c) >= 128)
            return true; // a name outside ASCII has no closing tag we could match
        closing.push_back(static_cast<char>(c));
    }
    for (size_t at = FindTagStart(html.data(), html.size(), openEnd, closing.c_str()); at != npos;
         at = FindTagStart(html.data(), html.size(), at + 1, closing.c_str())) {
        size_t after = at + 1 + closing.size();
        if (after < html.size() && !IsTagNameEnd(html[after]))
            continue; // "</a" inside "</abbr>" is not the closing tag of <a>
        size_t closeEnd = FindCharFrom(html.data(), html.size(), after, Ch('>'));
        if (closeEnd != npos)
            element.end = closeEnd + 1;
        break;
    }
    return true;
}

template <class Ch>
std::basic_string<Ch> Insert(const std::basic_string<Ch> &html, const std::basic_string<Ch> &fragment)
{
    const Ch *text = html.data();
    const size_t length = html.size();

    // Collect the elements to cut. The unquoted marker is looked for only when
    // no quoted one remains after the current position.
    std::vector<Range> removed;
    size_t pos = 0;
    size_t searchFrom = 0;
    for (;;) {
        size_t found = npos;
        size_t markerLength = 0;
        if (!FindMarker(text, length, searchFrom, found, markerLength))
            break;
        Range element;
        if (FindTrackingElement(html, pos, found, element)) {
            removed.push_back(element);
            pos = searchFrom = element.end;
        } else {
            searchFrom = found + markerLength;
        }
    }

    // The fragment goes before the first "</body" of the original text; if that
    // lies inside a removed element, where that element was.
    size_t insertAt = FindTagStart(text, length, 0, "/body");
    if (insertAt == npos)
        insertAt = length;
    for (const Range &r : removed)
        if (insertAt > r.begin && insertAt < r.end)
            insertAt = r.begin;

    std::basic_string<Ch> out;
    out.reserve(html.size() + fragment.size());
    bool inserted = false;
    auto keep = [&](size_t begin, size_t end) {
        if (!inserted && insertAt >= begin && insertAt <= end) {
            out.append(html, begin, insertAt - begin);
            out.append(fragment);
            out.append(html, insertAt, end - insertAt);
            inserted = true;
        } else {
            out.append(html, begin, end - begin);
        }
    };
    size_t copied = 0;
    for (const Range &r : removed) {
        keep(copied, r.begin);
        copied = r.end;
    }
    keep(copied, html.size());
    return out;
}

} // namespace

std::string InsertTrackingFragment(const std::string &html, const std::string &fragment)
{
    return Insert(html, fragment);
}

std::wstring InsertTrackingFragment(const std::wstring &html, const std::wstring &fragment)
{
    return Insert(html, fragment);
}

std::string HexEscapeBytesA(const void *bytes, size_t length)
{
    static const char kDigits[] = "0123456789ABCDEF";
    const unsigned char *in = static_cast<const unsigned char *>(bytes);
    std::string out(3 * length, '\0');
    for (size_t i = 0; i < length; ++i) {
        out[3 * i] = '%';
        out[3 * i + 1] = kDigits[in[i] >> 4];
        out[3 * i + 2] = kDigits[in[i] & 0x0F];
    }
    return out;
}

BSTR HexEscapeBytes(const void *bytes, size_t length)
{
    std::string narrow = HexEscapeBytesA(bytes, length);
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(narrow.size()));
    if (!out)
        ThrowComError(E_OUTOFMEMORY);
    for (size_t i = 0; i < narrow.size(); ++i)
        out[i] = static_cast<wchar_t>(narrow[i]);
    return out;
}
