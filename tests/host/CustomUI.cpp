#include "host/CustomUI.h"

#include "com/Resources.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

namespace host {

const char kCustomUiNamespace2009[] = "http://schemas.microsoft.com/office/2009/07/customui";
const char kCustomUiNamespace2006[] = "http://schemas.microsoft.com/office/2006/01/customui";

namespace {

using Attributes = std::vector<std::pair<std::string, std::string>>;

std::string Find(const Attributes &attributes, const std::string &name)
{
    for (const auto &a : attributes)
        if (a.first == name)
            return a.second;
    return std::string();
}

struct Element
{
    std::string ns;        // the namespace its prefix (or the default) stands for
    std::string local;     // its name without the prefix
    Attributes attributes; // namespace declarations left out
    std::vector<Element> children;

    std::string Attribute(const std::string &name) const { return Find(attributes, name); }
};

using Scope = std::map<std::string, std::string>; // prefix ("" the default) -> namespace

// A reader for the one document GetCustomUI gives: no DTD, no entities of its own.
class XmlReader
{
public:
    explicit XmlReader(const std::string &text) : m_s(text) {}

    bool Document(Element &root)
    {
        if (m_s.compare(0, 3, "\xEF\xBB\xBF") == 0)
            m_p = 3;
        if (!SkipMisc())
            return false;
        if (!At("<") || At("<!"))
            return Fail("no root element");
        if (!ParseElement(root, Scope()))
            return false;
        if (!SkipMisc())
            return false;
        return m_p == m_s.size() || Fail("content after the root element");
    }

    const std::string &Error() const { return m_error; }

private:
    bool Fail(const std::string &what)
    {
        if (m_error.empty())
            m_error = "not well-formed: " + what + " at offset " + std::to_string(m_p);
        return false;
    }
    bool At(const char *text) const { return m_s.compare(m_p, strlen(text), text) == 0; }
    void SkipSpace()
    {
        while (m_p < m_s.size() && strchr(" \t\r\n", m_s[m_p]))
            ++m_p;
    }
    bool SkipPast(const char *end)
    {
        size_t at = m_s.find(end, m_p);
        if (at == std::string::npos)
            return Fail(std::string("no closing ") + end);
        m_p = at + strlen(end);
        return true;
    }
    // Whitespace, comments and processing instructions (the XML declaration).
    bool SkipMisc()
    {
        for (;;) {
            SkipSpace();
            if (At("<!--")) {
                if (!SkipPast("-->"))
                    return false;
            } else if (At("<?")) {
                if (!SkipPast("?>"))
                    return false;
            } else {
                return true;
            }
        }
    }
    static bool NameChar(unsigned char c, bool first)
    {
        return isalpha(c) || c == '_' || c == ':' || c >= 0x80 || (!first && (isdigit(c) || c == '-' || c == '.'));
    }
    bool Name(std::string &out)
    {
        size_t start = m_p;
        while (m_p < m_s.size() && NameChar(static_cast<unsigned char>(m_s[m_p]), m_p == start))
            ++m_p;
        if (m_p == start)
            return Fail("a name expected");
        out = m_s.substr(start, m_p - start);
        return true;
    }
    static void AppendUtf8(std::string &out, unsigned long c)
    {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    bool Entity(std::string &out)
    {
        size_t end = m_s.find(';', m_p);
        if (end == std::string::npos || end - m_p > 10)
            return Fail("an unterminated entity");
        const std::string name = m_s.substr(m_p + 1, end - m_p - 1);
        static const std::map<std::string, char> predefined = {
            {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        auto known = predefined.find(name);
        if (known != predefined.end()) {
            out += known->second;
        } else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x';
            char *stop = nullptr;
            unsigned long c = strtoul(name.c_str() + (hex ? 2 : 1), &stop, hex ? 16 : 10);
            if (*stop || c == 0 || c > 0x10FFFF)
                return Fail("a bad character reference");
            AppendUtf8(out, c);
        } else {
            return Fail("an unknown entity &" + name + ";");
        }
        m_p = end + 1;
        return true;
    }
    bool Value(std::string &out)
    {
        if (m_p >= m_s.size() || (m_s[m_p] != '"' && m_s[m_p] != '\''))
            return Fail("a quoted value expected");
        const char quote = m_s[m_p++];
        for (;;) {
            if (m_p >= m_s.size())
                return Fail("an unterminated value");
            const char c = m_s[m_p];
            if (c == quote) {
                ++m_p;
                return true;
            }
            if (c == '<')
                return Fail("'<' in a value");
            if (c == '&') {
                if (!Entity(out))
                    return false;
            } else {
                out += c;
                ++m_p;
            }
        }
    }
    bool ParseElement(Element &e, Scope scope)
    {
        ++m_p; // '<'
        std::string qname;
        if (!Name(qname))
            return false;
        Attributes attributes;
        bool empty = false;
        for (;;) {
            SkipSpace();
            if (At("/>")) {
                m_p += 2;
                empty = true;
                break;
            }
            if (At(">")) {
                ++m_p;
                break;
            }
            std::string name, value;
            if (!Name(name))
                return false;
            SkipSpace();
            if (!At("="))
                return Fail("'=' expected");
            ++m_p;
            SkipSpace();
            if (!Value(value))
                return false;
            for (const auto &a : attributes)
                if (a.first == name)
                    return Fail("a repeated attribute " + name);
            attributes.emplace_back(name, value);
        }
        for (const auto &a : attributes) {
            if (a.first == "xmlns")
                scope[""] = a.second;
            else if (a.first.compare(0, 6, "xmlns:") == 0)
                scope[a.first.substr(6)] = a.second;
            else
                e.attributes.push_back(a);
        }
        const size_t colon = qname.find(':');
        const std::string prefix = colon == std::string::npos ? "" : qname.substr(0, colon);
        e.local = colon == std::string::npos ? qname : qname.substr(colon + 1);
        auto ns = scope.find(prefix);
        if (ns == scope.end() && !prefix.empty())
            return Fail("an undeclared prefix " + prefix);
        e.ns = ns == scope.end() ? "" : ns->second;
        if (empty)
            return true;

        for (;;) {
            if (m_p >= m_s.size())
                return Fail("no end tag for " + qname);
            if (At("</")) {
                m_p += 2;
                std::string end;
                if (!Name(end))
                    return false;
                SkipSpace();
                if (end != qname || !At(">"))
                    return Fail("</" + end + "> where </" + qname + "> belongs");
                ++m_p;
                return true;
            }
            if (At("<!--")) {
                if (!SkipPast("-->"))
                    return false;
            } else if (At("<![CDATA[")) {
                if (!SkipPast("]]>"))
                    return false;
            } else if (At("<?")) {
                if (!SkipPast("?>"))
                    return false;
            } else if (At("<!")) {
                return Fail("a declaration inside an element");
            } else if (At("<")) {
                e.children.emplace_back();
                if (!ParseElement(e.children.back(), scope))
                    return false;
            } else {
                // Text: skipped, its entities checked.
                std::string ignored;
                while (m_p < m_s.size() && m_s[m_p] != '<') {
                    if (m_s[m_p] != '&')
                        ++m_p;
                    else if (!Entity(ignored))
                        return false;
                }
            }
        }
    }

    const std::string &m_s;
    size_t m_p = 0;
    std::string m_error;
};

// The children of e in customUI's namespace with this name (and idMso, when given).
std::vector<const Element *> Children(const Element &e, const std::string &ns, const char *local,
                                      const char *idMso = nullptr)
{
    std::vector<const Element *> found;
    for (const Element &child : e.children)
        if (child.ns == ns && child.local == local && (!idMso || child.Attribute("idMso") == idMso))
            found.push_back(&child);
    return found;
}

// Every element with an id below `under`, in document order.
void CollectControls(const Element &under, const std::string &ns, const std::string &group,
                     std::vector<RibbonControlXml> &out)
{
    for (const Element &child : under.children) {
        if (child.ns != ns)
            continue;
        if (!child.Attribute("id").empty())
            out.push_back(RibbonControlXml{child.local, group, child.attributes});
        CollectControls(child, ns, group, out);
    }
}

void CollectGroups(const std::vector<const Element *> &tabs, const std::string &ns,
                   std::vector<RibbonControlXml> &out)
{
    for (const Element *tab : tabs)
        for (const Element *group : Children(*tab, ns, "group"))
            if (!group->Attribute("id").empty())
                CollectControls(*group, ns, group->Attribute("id"), out);
}

} // namespace

std::string RibbonControlXml::Attribute(const std::string &name) const
{
    return Find(attributes, name);
}

std::string ReadCustomUI(const std::wstring &xml, CustomUI &ui)
{
    ui = CustomUI();
    const std::string text = Utf8FromWide(xml);
    Element root;
    XmlReader reader(text);
    if (!reader.Document(root))
        return reader.Error();
    const std::string &ns = root.ns;
    if (root.local != "customUI" || (ns != kCustomUiNamespace2009 && ns != kCustomUiNamespace2006))
        return "the root is not customUI in " + std::string(kCustomUiNamespace2009) + " or " +
               kCustomUiNamespace2006;
    ui.onLoad = root.Attribute("onLoad");
    for (const Element *ribbon : Children(root, ns, "ribbon")) {
        for (const Element *tabs : Children(*ribbon, ns, "tabs"))
            CollectGroups(Children(*tabs, ns, "tab", "TabNewMailMessage"), ns, ui.compose);
        for (const Element *contextual : Children(*ribbon, ns, "contextualTabs"))
            for (const Element *set : Children(*contextual, ns, "tabSet", "TabComposeTools"))
                CollectGroups(Children(*set, ns, "tab", "TabMessage"), ns, ui.inlineResponse);
    }
    // Office refuses a document that gives two controls one id.
    std::vector<std::string> ids;
    for (const auto *controls : {&ui.compose, &ui.inlineResponse})
        for (const RibbonControlXml &control : *controls) {
            for (const std::string &seen : ids)
                if (seen == control.Id()) {
                    const std::string why = "duplicate id " + control.Id();
                    ui = CustomUI();
                    return why;
                }
            ids.push_back(control.Id());
        }
    return std::string();
}

} // namespace host
