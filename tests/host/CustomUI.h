// CustomUI: what the stand-in ribbon reads of the XML an add-in's GetCustomUI
// gives. A small XML reader of our own (elements, attributes and their
// entities, namespaces, comments, the XML declaration; text is skipped)
// checks that the root is customUI in a namespace Office knows, then collects
// the controls of the add-in's own groups (a group with an id) on the two
// tabs Outlook mail offers them: compose windows' Message tab
// (tab idMso="TabNewMailMessage") and the inline response's
// (contextualTabs / tabSet idMso="TabComposeTools" / tab idMso="TabMessage").
// Every element with an id inside such a group counts as a control, so the
// items of a menu do too.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace host {

// customUI's namespaces: Office 2010 and later, and Office 2007.
extern const char kCustomUiNamespace2009[];
extern const char kCustomUiNamespace2006[];

struct RibbonControlXml
{
    std::string type;  // the element: "toggleButton", "button", "checkBox", ...
    std::string group; // the id of its group
    // As written (entities resolved, UTF-8), in document order, id included.
    std::vector<std::pair<std::string, std::string>> attributes;

    // The attribute's value, "" when absent.
    std::string Attribute(const std::string &name) const;
    std::string Id() const { return Attribute("id"); }
};

struct CustomUI
{
    std::string onLoad; // customUI's onLoad callback; "" when none
    std::vector<RibbonControlXml> compose;
    std::vector<RibbonControlXml> inlineResponse;
};

// Reads xml into ui. Returns "" when Office would take it, else why not
// ("not well-formed: ... at offset 12", "the root is not customUI in ...",
// "duplicate id ..."), and ui is left empty.
std::string ReadCustomUI(const std::wstring &xml, CustomUI &ui);

} // namespace host
