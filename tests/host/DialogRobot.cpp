#include "host/DialogRobot.h"

#include "com/Resources.h"

#include <chrono>

namespace host {
namespace {

const DWORD kPollMs = 5;
// A message box's text control, and its icon control as Windows (0x14) and
// Wine (0x440) number it.
const int kTextId = 0xFFFF;
const int kIconIds[] = {0x14, 0x440};

std::string WindowText(HWND window)
{
    // Read without sending WM_GETTEXT: the owning thread may be busy.
    wchar_t buffer[4096];
    int length = InternalGetWindowText(window, buffer, ARRAYSIZE(buffer));
    return length > 0 ? AnsiFromWide(buffer, length) : std::string();
}

bool IsStatic(HWND control)
{
    char cls[32];
    return GetClassNameA(control, cls, sizeof cls) > 0 && lstrcmpiA(cls, "Static") == 0;
}

bool HasButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    return button && (GetWindowLongA(button, GWL_STYLE) & WS_VISIBLE);
}

UINT ButtonStyle(HWND dialog)
{
    const bool ok = HasButton(dialog, IDOK), cancel = HasButton(dialog, IDCANCEL);
    const bool yes = HasButton(dialog, IDYES), no = HasButton(dialog, IDNO);
    const bool abort = HasButton(dialog, IDABORT), retry = HasButton(dialog, IDRETRY);
    const bool ignore = HasButton(dialog, IDIGNORE), tryAgain = HasButton(dialog, IDTRYAGAIN);
    const bool cont = HasButton(dialog, IDCONTINUE);
    const int count = ok + cancel + yes + no + abort + retry + ignore + tryAgain + cont;
    if (yes && no && cancel && count == 3)
        return MB_YESNOCANCEL;
    if (yes && no && count == 2)
        return MB_YESNO;
    if (ok && cancel && count == 2)
        return MB_OKCANCEL;
    if (ok && count == 1)
        return MB_OK;
    if (abort && retry && ignore && count == 3)
        return MB_ABORTRETRYIGNORE;
    if (retry && cancel && count == 2)
        return MB_RETRYCANCEL;
    if (cancel && tryAgain && cont && count == 3)
        return MB_CANCELTRYCONTINUE;
    return kNoStandardButtons;
}

UINT IconStyle(HWND dialog)
{
    for (int id : kIconIds) {
        HWND control = GetDlgItem(dialog, id);
        if (!control || !IsStatic(control))
            continue;
        DWORD_PTR icon = 0;
        if (!SendMessageTimeoutA(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon) || !icon)
            continue;
        const struct
        {
            LPCSTR resource;
            UINT style;
        } kIcons[] = {{IDI_WARNING, MB_ICONWARNING},
                      {IDI_ERROR, MB_ICONERROR},
                      {IDI_INFORMATION, MB_ICONINFORMATION},
                      {IDI_QUESTION, MB_ICONQUESTION}};
        for (const auto &known : kIcons)
            if (reinterpret_cast<HICON>(icon) == LoadIconA(nullptr, known.resource))
                return known.style;
    }
    return 0;
}

std::string MessageText(HWND dialog)
{
    HWND control = GetDlgItem(dialog, kTextId);
    return control && IsStatic(control) ? WindowText(control) : std::string();
}

// Cancel where there is one, else No, else Ok: the answer that does least.
int DismissalButton(HWND dialog)
{
    if (HasButton(dialog, IDCANCEL))
        return IDCANCEL;
    if (HasButton(dialog, IDNO))
        return IDNO;
    return IDOK;
}

void Press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

struct Candidates
{
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char cls[16];
    // Visible means initialised and in its modal loop.
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && GetClassNameA(window, cls, sizeof cls) &&
        lstrcmpA(cls, "#32770") == 0)
        reinterpret_cast<Candidates *>(param)->windows.push_back(window);
    return TRUE;
}

} // namespace

std::string StyleText(UINT buttons, UINT icon)
{
    std::string text;
    switch (buttons) {
    case MB_OK: text = "MB_OK"; break;
    case MB_OKCANCEL: text = "MB_OKCANCEL"; break;
    case MB_YESNO: text = "MB_YESNO"; break;
    case MB_YESNOCANCEL: text = "MB_YESNOCANCEL"; break;
    case MB_ABORTRETRYIGNORE: text = "MB_ABORTRETRYIGNORE"; break;
    case MB_RETRYCANCEL: text = "MB_RETRYCANCEL"; break;
    case MB_CANCELTRYCONTINUE: text = "MB_CANCELTRYCONTINUE"; break;
    default: text = "(no standard buttons)"; break;
    }
    switch (icon) {
    case MB_ICONWARNING: text += "|MB_ICONWARNING"; break;
    case MB_ICONERROR: text += "|MB_ICONERROR"; break;
    case MB_ICONINFORMATION: text += "|MB_ICONINFORMATION"; break;
    case MB_ICONQUESTION: text += "|MB_ICONQUESTION"; break;
    default: break;
    }
    return text;
}

std::string AnswerText(int id)
{
    switch (id) {
    case 0: return "(none)";
    case IDOK: return "IDOK";
    case IDCANCEL: return "IDCANCEL";
    case IDABORT: return "IDABORT";
    case IDRETRY: return "IDRETRY";
    case IDIGNORE: return "IDIGNORE";
    case IDYES: return "IDYES";
    case IDNO: return "IDNO";
    case IDTRYAGAIN: return "IDTRYAGAIN";
    case IDCONTINUE: return "IDCONTINUE";
    default: return std::to_string(id);
    }
}

std::string DialogRecord::Line() const
{
    std::string line = "\"" + caption + "\" \"" + text + "\" " + StyleText(buttons, icon) + " -> " + AnswerText(answer);
    return expected ? line : line + " (unexpected)";
}

DialogRobot::DialogRobot() : m_thread(&DialogRobot::Run, this) {}

DialogRobot::~DialogRobot()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void DialogRobot::Expect(const std::string &caption, int answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.push_back(Expectation{caption, answer, Handler()});
}

void DialogRobot::Expect(const std::string &caption, Handler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.push_back(Expectation{caption, 0, std::move(handler)});
}

std::vector<DialogRecord> DialogRobot::Dialogs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dialogs;
}

std::vector<DialogRecord> DialogRobot::Unexpected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<DialogRecord> unexpected;
    for (const DialogRecord &d : m_dialogs)
        if (!d.expected)
            unexpected.push_back(d);
    return unexpected;
}

std::vector<std::string> DialogRobot::Lines() const
{
    std::vector<std::string> lines;
    for (const DialogRecord &d : Dialogs())
        lines.push_back(d.Line());
    return lines;
}

size_t DialogRobot::Pending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.size();
}

bool DialogRobot::WaitForDialogs(size_t count, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_dialogs.size() >= count; });
}

void DialogRobot::Run()
{
    try {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_changed.wait_for(lock, std::chrono::milliseconds(kPollMs), [&] { return m_stop; }))
                    return;
            }
            Scan();
        }
    } catch (...) {
        // Nothing leaves a thread entry; a robot that stops shows as dialogs left unanswered.
    }
}

void DialogRobot::Scan()
{
    Candidates found;
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&found));
    {
        // Forget windows that are gone, so a reused handle counts as new.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_seen.begin(); it != m_seen.end();)
            it = IsWindow(*it) ? std::next(it) : m_seen.erase(it);
    }
    for (HWND dialog : found.windows) {
        bool isNew;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            isNew = m_seen.insert(dialog).second;
        }
        if (isNew)
            Answer(dialog);
    }
}

void DialogRobot::Answer(HWND dialog)
{
    DialogRecord record;
    record.window = dialog;
    record.owner = GetWindow(dialog, GW_OWNER);
    record.threadId = GetWindowThreadProcessId(dialog, nullptr);
    record.caption = WindowText(dialog);
    record.text = MessageText(dialog);
    record.buttons = ButtonStyle(dialog);
    record.icon = IconStyle(dialog);

    Expectation next{std::string(), 0, Handler()};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        record.expected = !m_script.empty() && m_script.front().caption == record.caption;
        if (record.expected) {
            next = std::move(m_script.front());
            m_script.pop_front();
        }
    }

    int button = record.expected ? next.answer : DismissalButton(dialog);
    if (record.expected && next.handler) {
        try {
            button = next.handler(dialog);
        } catch (...) {
            // A handler that fails leaves a dialog that must still close.
            record.expected = false;
            button = DismissalButton(dialog);
        }
    }
    // Recorded before the button is pressed: a test that reads the record as
    // soon as the box has gone must find it there.
    record.answer = button;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dialogs.push_back(std::move(record));
    }
    m_changed.notify_all();
    if (button)
        Press(dialog, button);
}

} // namespace host
