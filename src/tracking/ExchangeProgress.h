// The small window shown while an exchange with the service takes long: it
// says that the message is being prepared for tracking, names its subject,
// and lets the user stop waiting: "Send without tracking" or "Cancel".
#pragma once

#include <windows.h>

#include <string>

class ExchangeProgress
{
public:
    // Button ids, as a robot or a test presses them.
    static constexpr int kSendWithoutTracking = IDYES;
    static constexpr int kCancel = IDCANCEL;
    static constexpr int kSubject = 1001;

    ExchangeProgress() = default;
    ExchangeProgress(const ExchangeProgress &) = delete;
    ExchangeProgress &operator=(const ExchangeProgress &) = delete;
    ~ExchangeProgress();

    // Makes the window over owner (may be null), still hidden; false when it
    // could not be made. Making and showing it are two steps, each a few
    // milliseconds, so that the waiting loop can dispatch between them.
    bool Create(HWND owner, const std::wstring &subject);
    void Show() const;
    bool IsMade() const { return m_hwnd != nullptr; }
    // -1 while the user chose nothing; 1: send without tracking; 0: do not send.
    int Choice() const { return m_choice; }
    // Gives the window its keyboard messages; true when it took this one.
    bool Takes(MSG *msg) const { return m_hwnd && IsDialogMessageW(m_hwnd, msg); }

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_hwnd = nullptr;
    int m_choice = -1;
};
