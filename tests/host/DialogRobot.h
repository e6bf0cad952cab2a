// DialogRobot: answers the message boxes and dialogs that code under test
// shows, so a test never hangs on one. A thread of its own watches this
// process's top-level dialog windows (class "#32770", from any thread); each
// new one is recorded (caption, message text, buttons and icon as MB_ style
// codes, owner) and answered from the test's script, in order. A dialog
// nobody expected is recorded as such and dismissed (Cancel, else No, else Ok).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace host {

// No combination of standard buttons that a MB_ style code names.
const UINT kNoStandardButtons = 0xFFFFFFFF;

struct DialogRecord
{
    HWND window = nullptr;
    HWND owner = nullptr; // GetWindow(GW_OWNER)
    DWORD threadId = 0;   // the thread that shows it
    std::string caption;
    std::string text;     // a message box's text; empty for other dialogs
    UINT buttons = kNoStandardButtons; // MB_OK, MB_YESNO, MB_OKCANCEL, ...
    UINT icon = 0;        // MB_ICONWARNING, MB_ICONERROR, MB_ICONINFORMATION, MB_ICONQUESTION or 0
    int answer = 0;       // the button pressed; 0 when a handler pressed none
    bool expected = false;

    // `"Quorvia" "Send without tracking?" MB_YESNO|MB_ICONQUESTION -> IDNO`
    // (an unexpected one ends in ` (unexpected)`).
    std::string Line() const;
};

// "MB_YESNO|MB_ICONQUESTION", "IDNO".
std::string StyleText(UINT buttons, UINT icon);
std::string AnswerText(int id);

class DialogRobot
{
public:
    // Fills in a custom dialog on the robot's thread (e.g. SetDlgItemTextA) and
    // returns the button to press (0: press none, the handler closed it itself).
    using Handler = std::function<int(HWND dialog)>;

    DialogRobot();
    DialogRobot(const DialogRobot &) = delete;
    DialogRobot &operator=(const DialogRobot &) = delete;
    ~DialogRobot();

    // The next dialog must have this caption; it is answered with button `answer`.
    void Expect(const std::string &caption, int answer);
    void Expect(const std::string &caption, Handler handler);

    std::vector<DialogRecord> Dialogs() const;
    std::vector<DialogRecord> Unexpected() const;
    std::vector<std::string> Lines() const;
    // Expectations not yet met.
    size_t Pending() const;
    // Waits until `count` dialogs in all have been answered; false on timeout.
    bool WaitForDialogs(size_t count, DWORD timeoutMs) const;

private:
    struct Expectation
    {
        std::string caption;
        int answer;
        Handler handler;
    };

    void Run();
    void Scan();
    void Answer(HWND dialog);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Expectation> m_script;
    std::vector<DialogRecord> m_dialogs;
    std::set<HWND> m_seen;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace host
