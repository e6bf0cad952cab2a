#include "tracking/TrackingFragment.h"

#include "com/ComError.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace {

template <class Ch>
Ch LowerAscii(Ch c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<Ch>(c - 'A' + 'a') : c;
}

// Whitespace as the HTML tokenizer knows it (CR included: it reads CR LF as LF).
template <class Ch>
bool IsHtmlSpace(Ch c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

template <class Ch>
bool IsTagNameEnd(Ch c)
{
    return IsHtmlSpace(c) || c == '>' || c == '/';
}

template <class Ch>
bool IsAsciiLetter(Ch c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
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

// Whether [at, at + size) of `text` is `name` (lower-case ASCII), letters compared without case.
template <class Ch>
bool NameIs(const Ch *text, size_t at, size_t size, std::string_view name)
{
    return name.size() == size && StartsWithNoCase(text, at + size, at, name.data());
}

template <class Ch, size_t N>
bool NameIsOneOf(const Ch *text, size_t at, size_t size, const std::string_view (&names)[N])
{
    for (std::string_view name : names)
        if (NameIs(text, at, size, name))
            return true;
    return false;
}

constexpr std::string_view kVoidElements[] = {"area", "base", "basefont", "bgsound", "br", "col",
                                              "embed", "frame", "hr", "img", "input", "keygen",
                                              "link", "meta", "param", "source", "track", "wbr"};
constexpr std::string_view kRawTextElements[] = {"script", "style", "textarea", "title",
                                                 "xmp", "iframe", "noembed", "noframes"};

struct Range
{
    size_t begin;
    size_t end; // one past the last character removed
};

struct TagEnd
{
    size_t close = npos; // the tag's '>'; npos: the text ends inside the tag
    bool marked = false; // its alt attribute is qvmk
    bool selfClosing = false;
};

// Reads the attributes of a tag, from just past its name to its '>', as the
// HTML tokenizer does: a quoted value may hold '>', an unquoted one runs to
// whitespace or '>'. Only the first alt attribute counts (HTML drops repeats);
// its value is compared as written, character references are not decoded.
template <class Ch>
TagEnd ReadAttributes(const Ch *text, size_t length, size_t at)
{
    TagEnd tag;
    bool altSeen = false;
    while (at < length) {
        const Ch c = text[at];
        if (IsHtmlSpace(c)) {
            ++at;
            continue;
        }
        if (c == '>') {
            tag.close = at;
            return tag;
        }
        if (c == '/') {
            if (at + 1 < length && text[at + 1] == '>') {
                tag.selfClosing = true;
                tag.close = at + 1;
                return tag;
            }
            ++at;
            continue;
        }
        const size_t name = at++; // a leading '=' belongs to the name
        while (at < length && !IsTagNameEnd(text[at]) && text[at] != '=')
            ++at;
        const size_t nameSize = at - name;
        while (at < length && IsHtmlSpace(text[at]))
            ++at;
        size_t value = at, valueSize = 0;
        bool hasValue = false;
        if (at < length && text[at] == '=') {
            ++at;
            while (at < length && IsHtmlSpace(text[at]))
                ++at;
            if (at >= length)
                break;
            const Ch quote = text[at];
            if (quote == '"' || quote == '\'') {
                size_t closeQuote = FindCharFrom(text, length, at + 1, quote);
                if (closeQuote == npos)
                    break;
                value = at + 1;
                valueSize = closeQuote - value;
                at = closeQuote + 1;
            } else {
                value = at;
                while (at < length && !IsHtmlSpace(text[at]) && text[at] != '>')
                    ++at;
                valueSize = at - value;
            }
            hasValue = true;
        }
        if (!altSeen && NameIs(text, name, nameSize, "alt")) {
            altSeen = true;
            tag.marked = hasValue && NameIs(text, value, valueSize, "qvmk");
        }
    }
    return tag;
}

// One pass of an HTML tokenizer over the body: the first real "</body" and the
// tracking elements, each with its extent. What the tokenizer treats as text is
// never taken for a tag: comments, <!...> and <?...> declarations, CDATA
// sections (up to "]]>", as an XHTML reader sees them, so the fragment never
// lands where one reader would show it as text), the contents of raw-text
// elements (script, style, textarea, title, xmp, iframe, noembed, noframes) and
// attribute values. A '<' not followed by a letter, '/', '!' or '?' is text.
template <class Ch>
class BodyScan
{
public:
    BodyScan(const Ch *text, size_t length) : text_(text), length_(length)
    {
        size_t at = 0;
        while (at < length_ && (at = FindCharFrom(text_, length_, at, Ch('<'))) != npos)
            at = Markup(at);
    }

    size_t bodyEnd = npos;        // the '<' of the first real "</body"
    std::vector<Range> elements;  // tracking elements in the order they start

private:
    // A tracking element whose closing tag has not come yet, and how many
    // elements of its name were open around it.
    struct Waiting
    {
        size_t element;
        size_t depth;
    };
    struct OpenOfName
    {
        size_t depth = 0;
        std::vector<Waiting> waiting;
    };

    // Handles the markup at a '<'; returns where the text goes on.
    size_t Markup(size_t lt)
    {
        if (lt + 1 >= length_)
            return length_;
        const Ch next = text_[lt + 1];
        if (IsAsciiLetter(next))
            return StartTag(lt);
        if (next == '/') {
            if (lt + 2 >= length_)
                return length_;
            if (IsAsciiLetter(text_[lt + 2]))
                return EndTag(lt);
            return SkipPast(lt + 2, Ch('>')); // "</>" and "</ ...>" are dropped, no tag
        }
        if (next == '!') {
            if (StartsWithNoCase(text_, length_, lt + 2, "--"))
                return SkipComment(lt);
            if (StartsWithNoCase(text_, length_, lt + 2, "[cdata["))
                return SkipPastClose(lt + 9, "]]");
            return SkipPast(lt + 2, Ch('>'));
        }
        if (next == '?')
            return SkipPast(lt + 2, Ch('>'));
        return lt + 1;
    }

    size_t StartTag(size_t lt)
    {
        const size_t name = lt + 1;
        size_t nameEnd = name;
        while (nameEnd < length_ && !IsTagNameEnd(text_[nameEnd]))
            ++nameEnd;
        const size_t nameSize = nameEnd - name;
        const TagEnd tag = ReadAttributes(text_, length_, nameEnd);
        if (tag.close == npos)
            return length_; // the text ends inside the tag: nothing of it is taken

        // A void element has no content, and one written "<x/>" is taken to
        // have none, so that only its own tag goes; later "</img>" and the
        // like are left as they are.
        const bool waits = tag.marked && !tag.selfClosing &&
                           !NameIsOneOf(text_, name, nameSize, kVoidElements);
        if (tag.marked)
            elements.push_back({lt, tag.close + 1});
        if (waits) {
            LowerName(name, nameEnd);
            auto [it, added] = open_.try_emplace(key_);
            if (added)
                ++waitingNames_[NameBucket(name, nameSize)];
            it->second.waiting.push_back({elements.size() - 1, it->second.depth});
            ++it->second.depth;
        } else if (MayWait(name, nameSize)) {
            LowerName(name, nameEnd);
            auto it = open_.find(key_);
            if (it != open_.end())
                ++it->second.depth;
        }

        if (NameIsOneOf(text_, name, nameSize, kRawTextElements))
            return RawTextEnd(tag.close + 1, name, nameSize);
        return tag.close + 1;
    }

    size_t EndTag(size_t lt)
    {
        const size_t name = lt + 2;
        size_t nameEnd = name;
        while (nameEnd < length_ && !IsTagNameEnd(text_[nameEnd]))
            ++nameEnd;
        // Taken even when the text ends inside it: the fragment before it
        // still lands in the body.
        if (bodyEnd == npos && NameIs(text_, name, nameEnd - name, "body"))
            bodyEnd = lt;
        const TagEnd tag = ReadAttributes(text_, length_, nameEnd);
        if (tag.close == npos)
            return length_;
        if (MayWait(name, nameEnd - name)) {
            LowerName(name, nameEnd);
            auto it = open_.find(key_);
            if (it != open_.end()) {
                OpenOfName &same = it->second;
                --same.depth;
                if (same.waiting.back().depth == same.depth) {
                    elements[same.waiting.back().element].end = tag.close + 1;
                    same.waiting.pop_back();
                    if (same.waiting.empty()) {
                        open_.erase(it);
                        --waitingNames_[NameBucket(name, nameEnd - name)];
                    }
                }
            }
        }
        return tag.close + 1;
    }

    // The '<' of the end tag closing a raw-text element, or the end of the text.
    size_t RawTextEnd(size_t from, size_t name, size_t nameSize)
    {
        for (size_t lt = FindCharFrom(text_, length_, from, Ch('<')); lt != npos;
             lt = FindCharFrom(text_, length_, lt + 1, Ch('<'))) {
            const size_t after = lt + 2 + nameSize;
            if (after >= length_)
                break;
            if (text_[lt + 1] != '/' || !IsTagNameEnd(text_[after]))
                continue;
            size_t i = 0;
            while (i < nameSize && LowerAscii(text_[lt + 2 + i]) == LowerAscii(text_[name + i]))
                ++i;
            if (i == nameSize)
                return lt;
        }
        return length_;
    }

    // A comment ends at "-->" or "--!>"; "<!-->" and "<!--->" are whole
    // comments. One never closed runs to the end of the text.
    size_t SkipComment(size_t lt)
    {
        for (size_t gt = FindCharFrom(text_, length_, lt + 4, Ch('>')); gt != npos;
             gt = FindCharFrom(text_, length_, gt + 1, Ch('>'))) {
            if (text_[gt - 1] == '-' && text_[gt - 2] == '-')
                return gt + 1;
            if (gt >= lt + 7 && text_[gt - 1] == '!' && text_[gt - 2] == '-' && text_[gt - 3] == '-')
                return gt + 1;
        }
        return length_;
    }

    size_t SkipPast(size_t from, Ch c)
    {
        size_t at = FindCharFrom(text_, length_, from, c);
        return at == npos ? length_ : at + 1;
    }

    // Past the first '>' at or after `from` + 2 that follows `before` (two characters).
    size_t SkipPastClose(size_t from, const char *before)
    {
        for (size_t gt = FindCharFrom(text_, length_, from + 2, Ch('>')); gt != npos;
             gt = FindCharFrom(text_, length_, gt + 1, Ch('>')))
            if (text_[gt - 2] == Ch(before[0]) && text_[gt - 1] == Ch(before[1]))
                return gt + 1;
        return length_;
    }

    // Names with a tracking element waiting, counted by length and first
    // letter: most tags of a body are then passed without a look-up.
    size_t NameBucket(size_t name, size_t size) const
    {
        return (size * 8 + LowerAscii(text_[name])) % kNameBuckets;
    }

    bool MayWait(size_t name, size_t size) const
    {
        return !open_.empty() && waitingNames_[NameBucket(name, size)] != 0;
    }

    void LowerName(size_t begin, size_t end)
    {
        key_.assign(text_ + begin, text_ + end);
        for (Ch &c : key_)
            c = LowerAscii(c);
    }

    const Ch *text_;
    size_t length_;
    std::unordered_map<std::basic_string<Ch>, OpenOfName> open_; // names with a tracking element waiting
    std::basic_string<Ch> key_;
    static constexpr size_t kNameBuckets = 256;
    size_t waitingNames_[kNameBuckets] = {};
};

template <class Ch>
std::basic_string<Ch> Insert(const std::basic_string<Ch> &html, const std::basic_string<Ch> &fragment)
{
    BodyScan<Ch> scan(html.data(), html.size());

    // A tracking element inside one already removed goes with it.
    std::vector<Range> removed;
    for (const Range &element : scan.elements)
        if (removed.empty() || element.begin >= removed.back().end)
            removed.push_back(element);

    // The fragment goes before the first "</body"; if that lies inside a
    // removed element, where that element was.
    size_t insertAt = scan.bodyEnd == npos ? html.size() : scan.bodyEnd;
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
