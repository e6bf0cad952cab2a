// Shows the setup dialog from a built add-in DLL for a few seconds, with a
// sample account typed in, so its look can be checked on a real display
// (e.g. Wine on an X server) and captured. Not part of the build: it needs a
// display, and Cancel is the only way it leaves, so nothing is stored.
//
//   x86_64-w64-mingw32-g++-posix -std=c++17 -Isrc tools/show-dialog.cpp
//       BUILD/x64/src/libquorvia_core.a -static -lole32 -loleaut32 -luuid -ladvapi32
//       -luser32 -lgdi32 -lshell32 -lcomctl32 -lwininet -lmapi32 -lws2_32 -o show-dialog.exe
//   (one command line)
//   wine64 show-dialog.exe [PATH\QuorviaAddin.dll] [SECONDS]

#include "addin/Globals.h"
#include "com/Identity.h"
#include "resources/resource.h"
#include "settings/SetupDialog.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// Lists the controls whose text is wider than the control: they wrap or are
// cut off with the fonts of this system.
BOOL CALLBACK ReportTextWidth(HWND control, LPARAM)
{
    char text[256] = {};
    char windowClass[32] = {};
    GetWindowTextA(control, text, sizeof text);
    GetClassNameA(control, windowClass, sizeof windowClass);
    if (!text[0] || lstrcmpiA(windowClass, "Edit") == 0)
        return TRUE;
    RECT client = {};
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
    SIZE extent = {};
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    std::printf("%-8s %4d px of %4d px%s  \"%s\"\n", windowClass, int(extent.cx), int(client.right),
                extent.cx > client.right ? "  (wider)" : "", text);
    return TRUE;
}

} // namespace

int main(int argc, char **argv)
{
    const char *dll = argc > 1 ? argv[1] : "QuorviaAddin.dll";
    const DWORD seconds = argc > 2 ? DWORD(std::atoi(argv[2])) : 10;

    // The dialog's code finds its template and icon through the library's handle.
    g_hModule = LoadLibraryA(dll);
    if (!g_hModule) {
        std::fprintf(stderr, "cannot load %s (error %lu)\n", dll, GetLastError());
        return 1;
    }

    std::thread typist([seconds] {
        HWND dialog = nullptr;
        for (int tries = 0; tries < 100 && !dialog; ++tries) {
            Sleep(100);
            dialog = FindWindowA("#32770", QUORVIA_CAPTION);
        }
        if (!dialog)
            return;
        EnumChildWindows(dialog, ReportTextWidth, 0);
        std::fflush(stdout);
        SetDlgItemTextA(dialog, IDC_LOGIN, "Someone@Example.COM");
        SetDlgItemTextA(dialog, IDC_PASSWORD, "secret");
        Sleep(seconds * 1000);
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    INT_PTR result = RunSetupDialog(nullptr);
    typist.join();
    std::printf("dialog result %ld\n", long(result));
    FreeLibrary(g_hModule);
    return 0;
}
