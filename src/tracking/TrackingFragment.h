// Text operations of the tracking exchange: marking an HTML body with the
// service's fragment, and the %XX escaping of the request form.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

// Removes every earlier tracking element (a start tag whose alt attribute is
// qvmk, quoted or not, letters compared without case: up to its closing tag if
// it has one, else only the tag) and inserts `fragment` right before the first
// "</body" end tag. Only markup counts: comments, the contents of script, style
// and textarea, and attribute values are text. A text without "</body" gets the
// fragment at its end. Works on the ANSI stream bodies byte for byte and on
// HTMLBody as UTF-16; one pass over the text.
std::string InsertTrackingFragment(const std::string &html, const std::string &fragment);
std::wstring InsertTrackingFragment(const std::wstring &html, const std::wstring &fragment);

// Every byte as "%XX" (upper-case hex), letters and digits included.
BSTR HexEscapeBytes(const void *bytes, size_t length);
std::string HexEscapeBytesA(const void *bytes, size_t length);
