#include "settings/SetupDialog.h"

#include "com/Identity.h"
#include "com/Module.h"
#include "settings/Account.h"
#include "settings/Settings.h"

#include <cstring>

// Control and resource numbers of the dialog template.
enum : int
{
    kIconAddin = 104,
    kDialogSetup = 105,
    kLoginEdit = 107,
    kPasswordEdit = 108,
    kSignupLink = 109,
    kForgotLink = 112,
};

namespace {

constexpr int kFieldBuffer = 1000;

char *LinkUrl(HWND control)
{
    return control ? reinterpret_cast<char *>(GetWindowLongPtrA(control, GWLP_USERDATA)) : nullptr;
}

// A link is a static control whose user data holds a heap copy of its URL.
void MakeLink(HWND dialog, int controlId, const char *url)
{
    HWND control = GetDlgItem(dialog, controlId);
    if (!control)
        return;
    char *copy = new char[strlen(url) + 1];
    strcpy(copy, url);
    SetWindowLongPtrA(control, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(copy));
    SetWindowLongA(control, GWL_STYLE, GetWindowLongA(control, GWL_STYLE) | SS_NOTIFY);
}

void FreeLink(HWND dialog, int controlId)
{
    HWND control = GetDlgItem(dialog, controlId);
    if (!control)
        return;
    delete[] LinkUrl(control);
    SetWindowLongPtrA(control, GWLP_USERDATA, 0);
}

// The underlined font of the links, made once per dialog from the links' own
// font and kept in the dialog's user slot until the dialog closes.
HFONT LinkFont(HWND dialog, HWND control)
{
    HFONT font = reinterpret_cast<HFONT>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (font)
        return font;
    HFONT base = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    LOGFONTA description = {};
    if (!base || !GetObjectA(base, sizeof description, &description))
        GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof description, &description);
    description.lfUnderline = TRUE;
    font = CreateFontIndirectA(&description);
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(font));
    return font;
}

// The link font lives until the dialog and its controls are gone.
void FreeLinkFont(HWND dialog)
{
    if (HFONT font = reinterpret_cast<HFONT>(GetWindowLongPtrA(dialog, DWLP_USER))) {
        SetWindowLongPtrA(dialog, DWLP_USER, 0);
        DeleteObject(font);
    }
}

// Static controls select their own font after asking the dialog for colours,
// so a font chosen only there never shows: the links are given it as theirs.
void UnderlineLinks(HWND dialog)
{
    const int links[] = {kSignupLink, kForgotLink};
    for (int id : links) {
        HWND control = GetDlgItem(dialog, id);
        if (!control)
            continue;
        if (HFONT font = LinkFont(dialog, control))
            SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
}

void EndSetupDialog(HWND dialog, INT_PTR result)
{
    FreeLink(dialog, kSignupLink);
    FreeLink(dialog, kForgotLink);
    EndDialog(dialog, result);
}

INT_PTR HandleLinkMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SETCURSOR:
        if (LinkUrl(reinterpret_cast<HWND>(wParam))) {
            SetCursor(LoadCursorA(nullptr, IDC_HAND));
            SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
            return 1;
        }
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == STN_CLICKED) {
            if (const char *url = LinkUrl(reinterpret_cast<HWND>(lParam))) {
                ShellExecuteA(dialog, "open", url, nullptr, nullptr, SW_SHOW);
                return 1;
            }
        }
        return 0;
    case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        if (!LinkUrl(control))
            return 0;
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, RGB(0, 0, 255));
        SetBkMode(dc, TRANSPARENT);
        if (HFONT font = LinkFont(dialog, control))
            SelectObject(dc, font);
        return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    }
    default:
        return 0;
    }
}

void SetIcons(HWND dialog)
{
    HANDLE small = LoadImageA(g_hModule, MAKEINTRESOURCEA(kIconAddin), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR);
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    HANDLE big = LoadImageA(g_hModule, MAKEINTRESOURCEA(kIconAddin), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR);
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
}

// The icons are the dialog's own copies: a window does not destroy the icons
// it was given, and every opening would leave two behind.
void FreeIcons(HWND dialog)
{
    for (WPARAM which : {ICON_SMALL, ICON_BIG})
        if (HICON icon = reinterpret_cast<HICON>(SendMessageW(dialog, WM_SETICON, which, 0)))
            DestroyIcon(icon);
}

// The account the dialog edits; DWLP_USER holds the link font.
const wchar_t kAccountProperty[] = L"Quorvia account";

CAccount *AccountOf(HWND dialog)
{
    return static_cast<CAccount *>(GetPropW(dialog, kAccountProperty));
}

void SaveAccount(HWND dialog)
{
    wchar_t login[kFieldBuffer] = {};
    wchar_t password[kFieldBuffer] = {};
    GetDlgItemTextW(dialog, kLoginEdit, login, kFieldBuffer);
    GetDlgItemTextW(dialog, kPasswordEdit, password, kFieldBuffer);
    if (CAccount *account = AccountOf(dialog))
        account->SetAndStore(login, password);
}

} // namespace

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    try {
        if (INT_PTR handled = HandleLinkMessage(dialog, message, wParam, lParam))
            return handled;
        switch (message) {
        case WM_DESTROY:
            FreeIcons(dialog);
            return FALSE;
        case WM_NCDESTROY:
            RemovePropW(dialog, kAccountProperty);
            FreeLinkFont(dialog);
            return FALSE;
        case WM_INITDIALOG:
            SetPropW(dialog, kAccountProperty, reinterpret_cast<HANDLE>(lParam));
            SetIcons(dialog);
            MakeLink(dialog, kSignupLink, QUORVIA_SIGNUP_URL);
            MakeLink(dialog, kForgotLink, QUORVIA_FORGOT_URL);
            UnderlineLinks(dialog);
            if (CAccount *account = AccountOf(dialog)) {
                SetDlgItemTextW(dialog, kLoginEdit, account->Login().c_str());
                SetDlgItemTextW(dialog, kPasswordEdit, account->Password().c_str());
            }
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wParam) != 0)
                return FALSE;
            switch (LOWORD(wParam)) {
            case IDOK:
                SaveAccount(dialog);
                EndSetupDialog(dialog, 1);
                return TRUE;
            case IDCANCEL:
                EndSetupDialog(dialog, 0);
                return TRUE;
            default:
                return FALSE;
            }
        default:
            return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
}

INT_PTR RunSetupDialog(HWND parent, CAccount &account)
{
    // A Unicode dialog: the account is shown and edited in any script.
    return DialogBoxParamW(g_hModule, MAKEINTRESOURCEW(kDialogSetup), parent, SetupDialogProc,
                           reinterpret_cast<LPARAM>(&account));
}
