#include "feed/Fragment.h"

#include "pixel/Pixel.h"

namespace quorvia {

namespace {

std::string EscapeAttribute(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

bool IsUsablePublicUrl(std::string_view url)
{
    if (url.size() > kMaxPublicUrl)
        return false;
    size_t host = 0;
    if (url.starts_with("https://"))
        host = 8;
    else if (url.starts_with("http://"))
        host = 7;
    else
        return false;
    if (host >= url.size() || url[host] == '/')
        return false;
    for (char c : url) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F)
            return false;
        if (std::string_view("\"<>`\\?#").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

std::string TrackingFragment(const std::string &publicUrl, const std::string &token)
{
    if (!IsUsablePublicUrl(publicUrl) || !IsTokenShaped(token))
        return std::string();
    std::string_view base = publicUrl;
    while (base.ends_with('/'))
        base.remove_suffix(1);
    // Sized to show nothing and take no room; alt is the marker the add-in
    // finds the element by, first so that no other attribute hides it.
    return "<img alt=\"qvmk\" src=\"" + EscapeAttribute(std::string(base) + "/t/" + token + ".gif") +
           "\" width=\"1\" height=\"1\" style=\"display:block;border:0\">";
}

} // namespace quorvia
