// How long the Outlook thread goes without dispatching while it waits for a
// slow tracking service: another thread posts messages to one of its windows
// without pause during a 2-second exchange; the longest gap between two
// dispatches is set against the 10 ms the waiting loop promises, and the
// messages dispatched against those posted. A gap also holds the poster's own
// delays (two cores, Wine's services, the stand-in service), so the longest
// wait of one message from its post to its dispatch is given beside it.

#include "addin/Addin.h"
#include "addin/AddinCF.h"
#include "addin/Globals.h"
#include "com/ComError.h"
#include "host/ComposeWindow.h"
#include "host/TrackingService.h"
#include "settings/Settings.h"
#include "tracking/MailItem.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const DWORD kServiceDelayMs = 2000;
const double kBudgetMs = 10.0;

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * double(now.QuadPart) / double(frequency.QuadPart);
}

std::vector<double> *g_dispatches = nullptr;
// When each message was posted (wParam is its index), and its wait until dispatch.
std::vector<double> g_postedAt(1 << 16);
std::vector<double> *g_waits = nullptr;

LRESULT CALLBACK Receiver(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_APP) {
        if (g_dispatches) {
            g_dispatches->push_back(NowMs());
            if (wParam < g_postedAt.size())
                g_waits->push_back(g_dispatches->back() - g_postedAt[wParam]);
        }
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void ClearTrackingSetting()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, QUORVIA_SETTINGS_KEY, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "Tracking");
        RegCloseKey(key);
    }
}

int Run()
{
    host::TrackingService service;
    if (!service.Listening()) {
        printf("the stand-in service cannot listen on 127.0.0.1:80 (run through ./quorvia bench)\n");
        return 1;
    }
    service.SetAnswer(host::Answer::Fragment("<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/1\">")
                          .Delayed(kServiceDelayMs));

    CAddinCF *factory = new CAddinCF();
    factory->AddRef();
    IUnknown *addin = nullptr;
    factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&addin));
    factory->Release();
    if (!g_pAddin)
        return 1;
    g_pAddin->SetAccount(L"bench", L"bench");

    TrackingSwitchPtr tracking = CTrackingSwitch::FromStoredDefault();
    tracking->Set(true);

    WNDCLASSA wc = {};
    wc.lpfnWndProc = Receiver;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QuorviaGapBench";
    RegisterClassA(&wc);
    HWND receiver = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                    nullptr);

    std::vector<double> dispatches, waits;
    dispatches.reserve(4096);
    waits.reserve(4096);
    g_dispatches = &dispatches;
    g_waits = &waits;
    std::atomic<bool> stop{false};
    unsigned posted = 0;
    std::thread poster([&] {
        service.WaitForRequests(1, 10000);
        while (!stop && posted < g_postedAt.size()) {
            g_postedAt[posted] = NowMs();
            if (PostMessageA(receiver, WM_APP, posted, 0))
                ++posted;
            Sleep(1);
        }
    });

    int result = -1;
    double started = NowMs(), ended = 0;
    {
        host::ComposeWindow window;
        CMailItem *item = new CMailItem(window.ItemDispatch(), tracking, g_pAddin->Account());
        try {
            result = item->OnSend();
        } catch (const ComError &e) {
            printf("OnSend raised 0x%08lX\n", static_cast<unsigned long>(e.hr));
        }
        ended = NowMs();
        item->Release();
    }
    stop = true;
    poster.join();
    g_dispatches = nullptr;
    g_waits = nullptr;

    // Gaps between consecutive dispatches while the exchange was waiting.
    std::vector<double> gaps;
    double longestAt = 0, longestSeen = 0;
    for (size_t i = 1; i < dispatches.size(); ++i)
        if (dispatches[i] <= ended) {
            gaps.push_back(dispatches[i] - dispatches[i - 1]);
            if (gaps.back() > longestSeen) {
                longestSeen = gaps.back();
                longestAt = dispatches[i - 1] - started;
            }
        }
    std::sort(gaps.begin(), gaps.end());
    double longest = gaps.empty() ? 0 : gaps.back();
    double median = gaps.empty() ? 0 : gaps[gaps.size() / 2];

    printf("exchange: %.0f ms with a %lu ms service, OnSend %d\n", ended - started,
           static_cast<unsigned long>(kServiceDelayMs), result);
    size_t during = std::count_if(dispatches.begin(), dispatches.end(), [ended](double at) { return at <= ended; });
    printf("messages posted %u, dispatched during the exchange %zu (%.2f of those posted)\n", posted, during,
           posted ? double(during) / posted : 0.0);
    printf("gap between dispatches: median %.2f ms, longest %.2f ms (%.0f ms into the exchange)\n", median, longest,
           longestAt);
    printf("longest gap / 10 ms budget: %.2fx\n", longest / kBudgetMs);
    waits.resize(during);
    std::sort(waits.begin(), waits.end());
    if (!waits.empty())
        printf("wait of a message from its post to its dispatch: median %.2f ms, longest %.2f ms = %.2fx the 10 ms "
               "budget\n",
               waits[waits.size() / 2], waits.back(), waits.back() / kBudgetMs);

    DestroyWindow(receiver);
    addin->Release();
    ClearTrackingSetting();
    return gaps.empty() ? 1 : 0;
}

} // namespace

int main()
{
    try {
        return Run();
    } catch (...) {
        printf("benchmark failed\n");
        return 1;
    }
}
