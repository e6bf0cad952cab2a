#include "tracking/TrackingFragment.h"

#include "com/ComError.h"

#include <algorithm>
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

template <class Ch>
std::basic_string<Ch> Widen(const char *ascii)
{
    std::basic_string<Ch> out;
    for (; *ascii; ++ascii)
        out.push_back(static_cast<Ch>(*ascii));
    return out;
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
bool FindTrackingElement(const std::basic_string<Ch> &lower, size_t from, size_t marker, Range &element)
{
    size_t open = lower.rfind(static_cast<Ch>('<'), marker);
    if (open == std::basic_string<Ch>::npos || open < from)
        return false;
    size_t openEnd = lower.find(static_cast<Ch>('>'), marker);
    if (openEnd == std::basic_string<Ch>::npos)
        return false;
    // A '>' between the '<' and the marker means the marker is not inside that tag.
    if (lower.find(static_cast<Ch>('>'), open) < marker)
        return false;

    size_t nameEnd = open + 1;
    while (nameEnd < openEnd && !IsTagNameEnd(lower[nameEnd]))
        ++nameEnd;
    element = {open, openEnd + 1};
    if (nameEnd == open + 1)
        return true;

    // An element with a closing tag goes up to and including that tag's '>'.
    std::basic_string<Ch> closing = Widen<Ch>("</") + lower.substr(open + 1, nameEnd - open - 1);
    for (size_t at = lower.find(closing, openEnd); at != std::basic_string<Ch>::npos;
         at = lower.find(closing, at + 1)) {
        size_t after = at + closing.size();
        if (after < lower.size() && !IsTagNameEnd(lower[after]))
            continue; // "</a" inside "</abbr>" is not the closing tag of <a>
        size_t closeEnd = lower.find(static_cast<Ch>('>'), after);
        if (closeEnd != std::basic_string<Ch>::npos)
            element.end = closeEnd + 1;
        break;
    }
    return true;
}

template <class Ch>
std::basic_string<Ch> Insert(const std::basic_string<Ch> &html, const std::basic_string<Ch> &fragment)
{
    std::basic_string<Ch> lower(html);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii<Ch>);
    const std::basic_string<Ch> markers[] = {Widen<Ch>("alt=\"qvmk\""), Widen<Ch>("alt=qvmk")};
    const auto npos = std::basic_string<Ch>::npos;

    // Collect the elements to cut. The unquoted marker is looked for only when
    // no quoted one remains after the current position.
    std::vector<Range> removed;
    size_t pos = 0;
    size_t searchFrom = 0;
    for (;;) {
        size_t found = npos;
        size_t length = 0;
        for (const auto &marker : markers) {
            found = lower.find(marker, searchFrom);
            if (found != npos) {
                length = marker.size();
                break;
            }
        }
        if (found == npos)
            break;
        Range element;
        if (FindTrackingElement(lower, pos, found, element)) {
            removed.push_back(element);
            pos = searchFrom = element.end;
        } else {
            searchFrom = found + length;
        }
    }

    // The fragment goes before the first "</body" of the original text; if that
    // lies inside a removed element, where that element was.
    size_t insertAt = lower.find(Widen<Ch>("</body"));
    if (insertAt == npos)
        insertAt = html.size();
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
