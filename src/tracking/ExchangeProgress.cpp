#include "tracking/ExchangeProgress.h"

#include "com/Identity.h"

#include <vector>

namespace {

// An in-memory dialog template: the window needs no resource of its own.
class DialogTemplate
{
public:
    DialogTemplate(DWORD style, short cx, short cy, const wchar_t *caption)
    {
        DLGTEMPLATE head = {style | DS_SETFONT, 0, 0, 0, 0, cx, cy};
        Append(&head, sizeof head);
        Word(0); // no menu
        Word(0); // the dialog class
        Text(caption);
        Word(8);
        Text(L"MS Shell Dlg");
    }
    void Control(WORD id, WORD classAtom, DWORD style, short x, short y, short cx, short cy, const wchar_t *text)
    {
        Align();
        DLGITEMTEMPLATE item = {style | WS_CHILD | WS_VISIBLE, 0, x, y, cx, cy, id};
        Append(&item, sizeof item);
        Word(0xFFFF);
        Word(classAtom);
        Text(text);
        Word(0); // no creation data
        ++reinterpret_cast<DLGTEMPLATE *>(m_bytes.data())->cdit;
    }
    const DLGTEMPLATE *Get() const { return reinterpret_cast<const DLGTEMPLATE *>(m_bytes.data()); }

private:
    void Append(const void *data, size_t size)
    {
        const BYTE *bytes = static_cast<const BYTE *>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }
    void Word(WORD value) { Append(&value, sizeof value); }
    void Text(const wchar_t *text) { Append(text, (wcslen(text) + 1) * sizeof(wchar_t)); }
    void Align()
    {
        while (m_bytes.size() % sizeof(DWORD))
            m_bytes.push_back(0);
    }

    std::vector<BYTE> m_bytes;
};

constexpr WORD kButton = 0x0080;
constexpr WORD kStatic = 0x0082;

} // namespace

ExchangeProgress::~ExchangeProgress()
{
    if (m_hwnd)
        DestroyWindow(m_hwnd);
}

bool ExchangeProgress::Create(HWND owner, const std::wstring &subject)
{
    DialogTemplate dialog(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER, 230, 74,
                          L"" QUORVIA_CAPTION);
    dialog.Control(1000, kStatic, SS_LEFT, 10, 8, 210, 10, L"Quorvia is preparing this message for tracking:");
    dialog.Control(kSubject, kStatic, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 10, 22, 210, 10, L"");
    dialog.Control(kSendWithoutTracking, kButton, BS_PUSHBUTTON | WS_TABSTOP, 56, 48, 96, 16, L"Send without tracking");
    dialog.Control(kCancel, kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, 160, 48, 60, 16, L"Cancel");
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&DialogProc), &module);
    m_hwnd = CreateDialogIndirectParamW(module, dialog.Get(), owner, DialogProc, reinterpret_cast<LPARAM>(this));
    if (!m_hwnd)
        return false;
    SetDlgItemTextW(m_hwnd, kSubject, subject.c_str());
    return true;
}

void ExchangeProgress::Show() const
{
    if (m_hwnd)
        ShowWindow(m_hwnd, SW_SHOWNORMAL);
}

INT_PTR CALLBACK ExchangeProgress::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return TRUE;
    }
    auto *self = reinterpret_cast<ExchangeProgress *>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (message == WM_COMMAND && self && HIWORD(wParam) == BN_CLICKED) {
        // The wait ends with it; the window goes when the wait is over.
        if (LOWORD(wParam) == kSendWithoutTracking)
            self->m_choice = 1;
        else if (LOWORD(wParam) == kCancel)
            self->m_choice = 0;
        return TRUE;
    }
    return FALSE;
}
