// Text operations of the tracking exchange: marking an HTML body with the
// service's fragment, and the %XX escaping of the request form.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

// Removes every earlier tracking element (one carrying alt="qvmk" or alt=qvmk)
// and inserts `fragment` right before the first "</body" (letters compared
// without case). A text without "</body" gets the fragment at its end. Works on
// the ANSI stream bodies byte for byte and on HTMLBody as UTF-16.
std::string InsertTrackingFragment(const std::string &html, const std::string &fragment);
std::wstring InsertTrackingFragment(const std::wstring &html, const std::wstring &fragment);

// Every byte as "%XX" (upper-case hex), letters and digits included.
BSTR HexEscapeBytes(const void *bytes, size_t length);
std::string HexEscapeBytesA(const void *bytes, size_t length);
