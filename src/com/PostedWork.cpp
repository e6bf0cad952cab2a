#include "com/PostedWork.h"

#include <windows.h>

#include <memory>
#include <new>

namespace {

using Work = std::function<void()>;

const wchar_t kClassName[] = L"QuorviaAddinMessageWindow";
constexpr UINT kRunWork = WM_APP + 1;

HWND g_hWindow = nullptr;

LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The module this code is in, the add-in's DLL, whose window class it registers.
HINSTANCE Instance()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&MessageWindowProc), &module);
    return module;
}

LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kRunWork)
        return DefWindowProcW(window, message, wParam, lParam);
    // Owned here from now on: the window may go while the work runs.
    std::unique_ptr<Work> work(reinterpret_cast<Work *>(lParam));
    // Posted work reports its own failures; nothing may reach Outlook's loop.
    try {
        if (work && *work)
            (*work)();
    } catch (...) {
    }
    return 0;
}

HWND MessageWindow()
{
    if (g_hWindow)
        return g_hWindow;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = MessageWindowProc;
    wc.hInstance = Instance();
    wc.lpszClassName = kClassName;
    RegisterClassW(&wc); // fails harmlessly when this module registered it already
    g_hWindow = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Instance(), nullptr);
    return g_hWindow;
}

} // namespace

bool PostToOutlookThread(std::function<void()> work)
{
    try {
        HWND window = MessageWindow();
        if (!window)
            return false;
        std::unique_ptr<Work> posted(new Work(std::move(work)));
        if (!PostMessageW(window, kRunWork, 0, reinterpret_cast<LPARAM>(posted.get())))
            return false;
        posted.release(); // the window's now
        return true;
    } catch (...) { // out of memory
        return false;
    }
}

void DiscardPostedWork()
{
    HWND window = g_hWindow;
    if (!window)
        return;
    g_hWindow = nullptr;
    MSG msg;
    while (PeekMessageW(&msg, window, kRunWork, kRunWork, PM_REMOVE))
        delete reinterpret_cast<Work *>(msg.lParam);
    DestroyWindow(window);
    // The class names this module's window procedure: it must not outlive the module.
    UnregisterClassW(kClassName, Instance());
}
