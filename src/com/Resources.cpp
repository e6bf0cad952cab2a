#include "com/Resources.h"

std::wstring WideFromAnsi(const char *text, int length)
{
    if (!text)
        return std::wstring();
    if (length < 0)
        length = lstrlenA(text);
    if (length == 0)
        return std::wstring();
    int count = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    std::wstring wide(count, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, length, &wide[0], count);
    return wide;
}

std::string Utf8FromWide(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(count, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &bytes[0], count, nullptr, nullptr);
    return bytes;
}

std::string AnsiFromWide(const wchar_t *text, int length)
{
    if (!text)
        return std::string();
    if (length < 0)
        length = lstrlenW(text);
    if (length == 0)
        return std::string();
    int count = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(count, '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, &narrow[0], count, nullptr, nullptr);
    return narrow;
}
