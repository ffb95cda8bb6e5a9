// A child process watched from the user-interface thread: started without blocking, then looked
// at on every timer tick, which moves text through its standard streams and notices its end.
// Ticks are window messages, so they only come while someone lets window events run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "support/handles_win.h"

// A hidden window that carries one window timer. Timer events come as WM_TIMER on the thread
// that created it; an event never starts while the previous one is still being handled (a
// handler that lets window events run would otherwise get its own next tick inside it).
class frm_Timer {
  public:
    frm_Timer();
    ~frm_Timer();  // unloads: the timer stops with the window
    frm_Timer(const frm_Timer&) = delete;
    frm_Timer& operator=(const frm_Timer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t milliseconds);

    std::function<void()> Timer1_Timer;

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void ArmTimer();
    void OnTimer();

    UniqueHwnd window_;
    bool enabled_ = false;
    uint32_t interval_ = 0;
    bool inTimerEvent_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Tick-and-timeout timer. With TimeOutIntervall N (N >= 1) it raises Tick with 0 .. N-1 on its
// first N timer events and TimeOut on the next one, then stops.
class cTimeOut {
  public:
    cTimeOut();
    ~cTimeOut();
    cTimeOut(const cTimeOut&) = delete;
    cTimeOut& operator=(const cTimeOut&) = delete;

    bool Enabled() const;
    void SetEnabled(bool bEnabled);  // true also starts the count again at 0
    int32_t TickIntervall() const { return tickIntervall_; }
    void SetTickIntervall(int32_t lMilliSeconds);
    // The count of ticks, not seconds, after which TimeOut fires; 0 or less: no time-out.
    void SetTimeOutIntervall(int32_t ticks);
    void Reset();

    std::function<void()> TimeOut;
    std::function<void(float ElapsedSeconds)> Tick;

  private:
    void MSTimer_Timer();

    std::unique_ptr<frm_Timer> form_;
    frm_Timer* MSTimer = nullptr;
    int32_t timeOutIntervall_ = 0;
    int32_t tickCount_ = 0;
    int32_t tickIntervall_ = 1000;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Runs one child at a time. DataStream carries each piece of the child's standard output (decoded
// from the ANSI code page; it goes to a temporary file, or to a pipe where no such file can be made);
// OnFinish follows once the child has ended, and the last DataStream of a run comes on the same tick,
// right before it. The child's standard error is not captured.
class cShellPipe {
  public:
    cShellPipe();
    ~cShellPipe();  // a child still running is ended
    cShellPipe(const cShellPipe&) = delete;
    cShellPipe& operator=(const cShellPipe&) = delete;

    // Each returns false, changing nothing, while a run is still being watched.
    bool ShellExecPipeAsync(const std::wstring& CmdLine, bool Visible);
    bool ShellExecAsync(const std::wstring& CmdLine, bool Visible);
    // Ends the child being watched; its end then comes as usual, with OnFinish on the next tick.
    void Terminate();

    std::function<void()> OnFinish;
    std::function<void(std::wstring& StrData)> DataStream;

  private:
    bool Busy() const { return WaitTimer.Enabled(); }
    void ReleaseRun();
    bool StartProcess(const std::wstring& CmdLine, bool Visible, bool withPipes);
    void WaitTimer_Tick(float ElapsedSeconds);
    // False when the object went away during its event handler.
    bool ReadOutput();
    DWORD BytesAvailable() const;

    int32_t pipeMode_ = 0;
    UniqueHandle outRead_;
    UniqueHandle outWrite_;
    bool outIsFile_ = false;  // the child's output goes to a temporary file, not to a pipe
    UniqueHandle inRead_;
    UniqueHandle inWrite_;
    ProcessInfo process_;
    cTimeOut WaitTimer;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
