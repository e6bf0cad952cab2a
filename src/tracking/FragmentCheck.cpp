#include "tracking/FragmentCheck.h"

#include <cstdio>
#include <cwctype>
#include <vector>

namespace {

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::wstring LowerW(std::wstring text)
{
    for (wchar_t &c : text)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

std::string Trimmed(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\"");
    size_t end = text.find_last_not_of(" \t\"");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// The code page of the charset a Content-Type names; UTF-8 when it names none.
std::optional<UINT> CodePageOf(const std::string &contentType, std::string *charset)
{
    const std::string type = Lower(contentType);
    size_t at = type.find("charset=");
    *charset = at == std::string::npos ? "utf-8" : Trimmed(type.substr(at + 8, type.find(';', at) - at - 8));
    struct Known
    {
        const char *name;
        UINT codePage;
    };
    static const Known known[] = {{"utf-8", CP_UTF8},         {"utf8", CP_UTF8},           {"us-ascii", 20127},
                                  {"ascii", 20127},           {"iso-8859-1", 28591},       {"latin1", 28591},
                                  {"windows-1252", 1252},     {"iso-8859-15", 28605}};
    for (const Known &k : known)
        if (*charset == k.name)
            return k.codePage;
    return std::nullopt;
}

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f';
}

bool IsNameChar(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' ||
           c == L'_' || c == L':';
}

struct Tag
{
    std::wstring name; // lower case
    bool end = false;
    bool selfClosing = false;
    bool marked = false; // alt="qvmk"
    std::wstring handler; // an on... attribute, when it has one
};

// Reads the tag that starts at text[at] == '<'; false when it is none (or never closes).
bool ReadTag(const std::wstring &text, size_t &at, Tag &tag)
{
    size_t i = at + 1;
    if (i < text.size() && text[i] == L'/') {
        tag.end = true;
        ++i;
    }
    size_t nameStart = i;
    while (i < text.size() && IsNameChar(text[i]))
        ++i;
    if (i == nameStart)
        return false;
    tag.name = LowerW(text.substr(nameStart, i - nameStart));
    for (;;) {
        while (i < text.size() && IsSpace(text[i]))
            ++i;
        if (i >= text.size())
            return false;
        if (text[i] == L'>') {
            at = i + 1;
            return true;
        }
        if (text[i] == L'/' && i + 1 < text.size() && text[i + 1] == L'>') {
            tag.selfClosing = true;
            at = i + 2;
            return true;
        }
        size_t attrStart = i;
        while (i < text.size() && !IsSpace(text[i]) && text[i] != L'=' && text[i] != L'>' && text[i] != L'/')
            ++i;
        std::wstring attribute = LowerW(text.substr(attrStart, i - attrStart));
        if (attribute.empty()) {
            ++i; // a stray '/'
            continue;
        }
        std::wstring value;
        while (i < text.size() && IsSpace(text[i]))
            ++i;
        if (i < text.size() && text[i] == L'=') {
            ++i;
            while (i < text.size() && IsSpace(text[i]))
                ++i;
            if (i < text.size() && (text[i] == L'"' || text[i] == L'\'')) {
                wchar_t quote = text[i++];
                size_t close = text.find(quote, i);
                if (close == std::wstring::npos)
                    return false;
                value = text.substr(i, close - i);
                i = close + 1;
            } else {
                size_t valueStart = i;
                while (i < text.size() && !IsSpace(text[i]) && text[i] != L'>')
                    ++i;
                value = text.substr(valueStart, i - valueStart);
            }
        }
        if (attribute == L"alt" && LowerW(value) == L"qvmk")
            tag.marked = true;
        if (attribute.size() > 2 && attribute.compare(0, 2, L"on") == 0 && tag.handler.empty())
            tag.handler = attribute;
    }
}

bool IsVoid(const std::wstring &name)
{
    static const wchar_t *const kVoid[] = {L"img", L"br", L"hr", L"wbr", L"area", L"col", L"input", L"source"};
    for (const wchar_t *v : kVoid)
        if (name == v)
            return true;
    return false;
}

bool IsForbidden(const std::wstring &name)
{
    static const wchar_t *const kForbidden[] = {L"script", L"style", L"iframe", L"object", L"form"};
    for (const wchar_t *f : kForbidden)
        if (name == f)
            return true;
    return false;
}

std::string Narrow(const std::wstring &ascii)
{
    return std::string(ascii.begin(), ascii.end());
}

// One element carrying the marker, and nothing that runs or hides.
bool CheckMarkup(const std::wstring &text, std::string *reason)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsSpace(text[begin]))
        ++begin;
    while (end > begin && IsSpace(text[end - 1]))
        --end;
    if (begin == end || text[begin] != L'<') {
        *reason = "it does not start with an element";
        return false;
    }
    std::wstring root;
    int depth = 0;
    size_t rootEnd = std::wstring::npos; // where the root element closes
    for (size_t at = begin; at < end;) {
        if (text[at] != L'<') {
            ++at;
            continue;
        }
        Tag tag;
        size_t next = at;
        if (!ReadTag(text, next, tag)) {
            *reason = "it holds markup that is not a complete tag";
            return false;
        }
        if (IsForbidden(tag.name)) {
            const std::string name = Narrow(tag.name);
            *reason = std::string(name[0] == 'i' || name[0] == 'o' ? "it holds an " : "it holds a ") + name + " element";
            return false;
        }
        if (!tag.handler.empty()) {
            *reason = "it holds an " + Narrow(tag.handler) + " handler";
            return false;
        }
        if (rootEnd != std::wstring::npos) {
            *reason = "it holds more than one element";
            return false;
        }
        if (root.empty()) {
            root = tag.name;
            if (tag.end || !tag.marked) {
                *reason = "its element carries no tracking marker";
                return false;
            }
        }
        const bool closesItself = tag.selfClosing || IsVoid(tag.name);
        if (!tag.end && !closesItself)
            ++depth;
        else if (tag.end && !IsVoid(tag.name))
            --depth;
        if (depth < 0) {
            *reason = "it closes an element it never opened";
            return false;
        }
        if (depth == 0)
            rootEnd = next;
        at = next;
    }
    if (rootEnd == std::wstring::npos) {
        *reason = "its element is not closed";
        return false;
    }
    for (size_t i = rootEnd; i < end; ++i)
        if (!IsSpace(text[i])) {
            *reason = "it holds text beside its element";
            return false;
        }
    return true;
}

} // namespace

std::optional<std::wstring> CheckFragment(const ServiceReply &reply, std::string *reason)
{
    char detail[96];
    if (reply.status < 200 || reply.status > 299) {
        snprintf(detail, sizeof detail, "status %lu", static_cast<unsigned long>(reply.status));
        *reason = detail;
        return std::nullopt;
    }
    if (reply.cut || reply.body.size() > kFragmentLimit) {
        *reason = "larger than 16 KB";
        return std::nullopt;
    }
    if (!reply.complete) {
        *reason = "the reply stopped short of its end";
        return std::nullopt;
    }
    const std::string encoding = Lower(Trimmed(reply.contentEncoding));
    if (!encoding.empty() && encoding != "identity") {
        *reason = "content encoding " + encoding;
        return std::nullopt;
    }
    for (size_t i = 0; i < reply.body.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(reply.body[i]);
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
            snprintf(detail, sizeof detail, "control byte 0x%02X at %zu", c, i);
            *reason = detail;
            return std::nullopt;
        }
    }
    std::string charset;
    std::optional<UINT> codePage = CodePageOf(reply.contentType, &charset);
    if (!codePage) {
        *reason = "charset " + charset + " is not known";
        return std::nullopt;
    }
    std::wstring text;
    if (!reply.body.empty()) {
        const DWORD flags = *codePage == CP_UTF8 || *codePage == 20127 ? MB_ERR_INVALID_CHARS : 0;
        const int length = static_cast<int>(reply.body.size());
        int count = MultiByteToWideChar(*codePage, flags, reply.body.data(), length, nullptr, 0);
        if (count <= 0) {
            *reason = "not " + charset + " text";
            return std::nullopt;
        }
        text.resize(count);
        MultiByteToWideChar(*codePage, flags, reply.body.data(), length, &text[0], count);
    }
    if (!CheckMarkup(text, reason))
        return std::nullopt;
    return text;
}
