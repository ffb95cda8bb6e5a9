// Drives a program the way a person would, from outside its process: start it, find its windows, read
// message boxes and answer them, read and set control texts, press buttons, wait for it to end.
//
//     e2e::Program patcher;
//     ASSERT_TRUE(patcher.Start(e2e::ProductExe(), L"/src=\"" + patch + L"\"", {{L"LC_ALL", L"fr_FR.UTF-8"}}));
//     e2e::MessageBoxInfo box = patcher.WaitForMessageBox();
//     EXPECT_EQ(box.text, L"...");
//     EXPECT_EQ(box.ButtonIds(), (std::vector<int>{IDYES, IDNO}));
//     e2e::Press(box.hwnd, IDNO);
//     EXPECT_TRUE(patcher.WaitEnded());
//
// The watchdog: every wait of Program (WaitForWindow, WaitUntil, WaitEnded) fails the test as soon as a
// message box appears that the test did not ask for with WaitForMessageBox, prints its caption, text and
// buttons, and ends the program. Wait through Program, not with loops of your own, so that it can see them.
// A Program still running when it goes out of scope is terminated (after the same check).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

using EnvVars = std::vector<std::pair<std::wstring, std::wstring>>;

struct Control {
    HWND hwnd = nullptr;
    int id = 0;
    std::wstring className;
    std::wstring text;
};

struct MessageBoxInfo {
    HWND hwnd = nullptr;
    std::wstring caption;
    std::wstring text;  // the message (control 0xFFFF)
    std::vector<Control> buttons;
    // The icon as its style flag (MB_ICONHAND, MB_ICONQUESTION, MB_ICONEXCLAMATION, MB_ICONASTERISK), 0 for
    // a box without one, -1 when the box's picture matched none of them before the box went.
    int icon = -1;

    std::vector<int> ButtonIds() const;
    // The box's style as MessageBox takes it: the buttons' code (MB_OK, MB_YESNO...) plus the icon's flag;
    // -1 for a set of buttons MessageBox never shows.
    int Style() const;
    // "caption | text | [button texts] | icon", for failure messages.
    std::wstring Describe() const;
};

// The style (buttons and icon, as MessageBox takes them) of every box the program shows, by its message
// key; the boxes whose texts are not in the message table have a name of their own here. A swapped style
// changes what the user is asked, so each assertion on a box goes through this table.
int BoxStyle(std::wstring_view key);
// The caption of every box of the program: its title and version.
std::wstring BoxCaption();
// Checks all that a person sees of box `key`: caption, text, buttons and icon.
void ExpectBox(const MessageBoxInfo& box, std::wstring_view key, const std::wstring& text);
// The same for a box whose text is checked by a part of it.
void ExpectBoxSaying(const MessageBoxInfo& box, std::wstring_view key, const std::wstring& part);

// Child controls of a window, in the system's order.
std::vector<Control> ChildControls(HWND window);
HWND Item(HWND window, int id);
// Text through WM_GETTEXT, which the system carries across processes (GetWindowText does not reach an
// edit control of another process).
std::wstring WindowText(HWND window);
std::wstring Text(HWND window, int id);
bool SetText(HWND window, int id, const std::wstring& text);
bool Enabled(HWND window, int id);
bool Visible(HWND window, int id);
std::wstring ClassOf(HWND window);
// Presses button `id` of `window` as a click would (posted, so that a long handler does not block the
// test). Fails the test when the button is missing, hidden or disabled.
void Press(HWND window, int id);
// A key pressed as on the keyboard: down and up to the control of `window`'s thread that has the focus.
// False when none has it: the key would reach nothing.
bool PressKey(HWND window, UINT key);
// A message box: a dialog holding only buttons and static texts, with its message in control 0xFFFF.
bool IsMessageBox(HWND window);
// Its caption, text, buttons and icon. The icon is read from the screen (another process's icon handle
// says nothing here): its picture is compared with each of the system's message-box icons drawn by this
// process, waiting up to `iconTimeoutMs` for the box to be painted and uncovered.
MessageBoxInfo ReadMessageBox(HWND box, int iconTimeoutMs = 10000);
// The folder picker (a dialog with a tree): moves its selection to `folder` and presses OK.
void PickFolder(HWND picker, DWORD pid, const std::wstring& folder);
bool IsFolderPicker(HWND window);

// UTF-8 for gtest messages.
std::string Utf8(const std::wstring& text);
// UTF-8 bytes back to text.
std::wstring Wide(const std::string& utf8);

class Program {
  public:
    Program() = default;
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Starts `exe` with `args` in its own folder, with the test's environment plus `env` (an empty value
    // removes a variable). LC_ALL chooses the user's language under Wine (fr_FR.UTF-8, en_US.UTF-8,
    // de_DE.UTF-8): Wine reads it only from the Unix environment a process starts with, so the program is
    // then started through the Wine loader from the Unix side and found by its file name. The loader rebuilds
    // the command line from an argument vector: an argument with quotes inside it (/src="a b") arrives as "/src=a b",
    // so give such a test no LC_ALL (the test's own language is English).
    bool Start(const std::wstring& exe, const std::wstring& args = L"", const EnvVars& env = {});

    DWORD pid() const { return pid_; }
    HANDLE handle() const { return process_; }
    bool Running() const;
    DWORD ExitCode() const;
    // Top-level windows of the process (input-method windows left out).
    std::vector<HWND> Windows() const;

    // The next message box, unclaimed so far; an empty result (hwnd null) after a failure reported.
    MessageBoxInfo WaitForMessageBox(int timeoutMs = 20000);
    // A visible top-level window for which `match` holds; null (and a failure) on timeout.
    HWND WaitForWindow(const std::function<bool(HWND)>& match, const char* what, int timeoutMs = 20000);
    // The visible dialog that holds control `controlId` (a program's main window).
    HWND WaitForDialogWith(int controlId, int timeoutMs = 20000);
    HWND WaitForFolderPicker(int timeoutMs = 20000);
    // Polls `done`; false (and a failure) on timeout or when an unexpected message box shows.
    bool WaitUntil(const std::function<bool()>& done, const char* what, int timeoutMs = 20000);
    // The process's end; false (and a failure) on timeout or when an unexpected message box shows.
    bool WaitEnded(int timeoutMs = 20000);
    // Ends the process at once.
    void Kill();

    // Presses button `id` of a box got from WaitForMessageBox and waits until the box is gone.
    void Answer(const MessageBoxInfo& box, int id, int timeoutMs = 10000);

    // The watchdog's check: fails the test for an open message box that WaitForMessageBox did not hand
    // out, and ends the program. True when there is none.
    bool CheckNoUnexpectedBox();

  private:
    bool FindStarted(const std::wstring& exe, const std::vector<DWORD>& before);
    std::vector<HWND> OpenBoxes() const;
    std::wstring DescribeWindows() const;

    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    std::vector<HWND> claimed_;
    std::wstring exe_;
};

}  // namespace e2e
