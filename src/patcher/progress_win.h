// What the patcher window shows while an apply runs: the step in the status line, how far it came in the
// bar (a moving bar where nobody can say), the same on the taskbar button, and the busy cursor. Cancel
// works until the suite is stopped; from then on it is disabled and the status line says why.
#pragma once

#include <windows.h>

#include <string>

#include "patcher/unattended.h"
#include "support/handles_win.h"

struct ITaskbarList3;

namespace frmMain {

class ApplyProgress {
  public:
    explicit ApplyProgress(HWND hwnd);
    ~ApplyProgress();
    ApplyProgress(const ApplyProgress&) = delete;
    ApplyProgress& operator=(const ApplyProgress&) = delete;

    // A new step: its name in the status line (and the log); with `measured` the bar starts at 0, else it moves.
    void Step(mUnattended::Step step, bool measured);
    // How far the current step came, 0 to 100.
    void Percent(int percent);
    // The suite is being stopped: Cancel can no longer leave it untouched.
    void LockCancel();
    // Back to the idle window.
    void End();

  private:
    void ShowStatus();
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

    HWND hwnd_;
    std::wstring stepText_;
    int step_ = -1;
    bool cancelLocked_ = false;
    int percent_ = -1;
    UniqueCom<ITaskbarList3> taskbar_;
    bool comStarted_ = false;
};

}  // namespace frmMain
