#include "process/shell_pipe_win.h"

#include "process/shell_exec_win.h"
#include "support/encoding.h"
#include "support/encoding_win.h"
#include "support/pump_win.h"
#include "support/trace.h"

#include <vector>

namespace {

constexpr wchar_t kTimerWindowClass[] = L"frm_Timer";
constexpr UINT_PTR kTimerId = 1;
constexpr int32_t kRunnerTickMs = 50;

// Room for what a talkative child writes between two ticks when its output has to go through a pipe.
constexpr DWORD kPipeBufferSize = 1 << 20;
constexpr DWORD kFileReadChunk = 1 << 16;

// A pipe whose two ends are owned here. Only the child's end may be inherited: a child holding
// our ends too would keep them alive in every program it starts.
bool CreateChildPipe(UniqueHandle& read, UniqueHandle& write, bool childReads) {
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof(sa);
    sa.bInheritHandle = TRUE;
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!CreatePipe(&r, &w, &sa, kPipeBufferSize))
        return false;
    read.reset(r);
    write.reset(w);
    SetHandleInformation(childReads ? write.get() : read.get(), HANDLE_FLAG_INHERIT, 0);
    return true;
}

// The child's output goes to a temporary file that each tick reads on from where the last one stopped.
// A pipe makes the writer wait for the reader at every write, and the archiver writes its listings
// line by line: under Wine a listing of 5,000 entries took 6.6 s into a pipe and 0.3 s into a file.
// Only the child's end is inherited; the file goes when the last end closes, also when this program ends.
// The file is made here, never one that exists, and from then on shared with nobody who may write it, delete
// or rename it: no other program can put a link in its place or write a listing of its own into it.
bool CreateOutputFile(UniqueHandle& read, UniqueHandle& write) {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH)
        return false;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    UINT unique = (GetCurrentProcessId() << 16) ^ GetTickCount();
    for (int attempt = 0; attempt < 16; ++attempt, ++unique) {
        if (!GetTempFileNameW(folder, L"ovo", unique | 1, name))
            return false;
        UniqueFile w(CreateFileW(name, GENERIC_WRITE | DELETE, FILE_SHARE_READ, &sa, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!w) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            return false;
        }
        // Our own reading end, with a position of its own; nobody can have swapped the file meanwhile.
        UniqueFile r(CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!r)
            return false;
        read.reset(r.release());
        write.reset(w.release());
        return true;
    }
    return false;
}

std::vector<wchar_t> WritableCommandLine(const std::wstring& cmdLine) {
    std::vector<wchar_t> buffer(cmdLine.begin(), cmdLine.end());
    buffer.push_back(L'\0');
    return buffer;
}

}  // namespace

// ---- frm_Timer ----

frm_Timer::frm_Timer() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &frm_Timer::WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kTimerWindowClass;
        registered = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }
    // A message-only window: never shown, never listed among the desktop's windows.
    window_.reset(CreateWindowExW(0, kTimerWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr));
    if (window_)
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

frm_Timer::~frm_Timer() {
    *alive_ = false;
    SetEnabled(false);
    if (window_)
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
}

void frm_Timer::SetEnabled(bool enabled) {
    enabled_ = enabled;
    ArmTimer();
}

void frm_Timer::SetInterval(uint32_t milliseconds) {
    interval_ = milliseconds;
    ArmTimer();
}

// Like a form's timer control: it runs while enabled with a non-zero interval, and a new
// interval or a new start counts a whole interval from now.
void frm_Timer::ArmTimer() {
    if (!window_)
        return;
    if (enabled_ && interval_ > 0)
        SetTimer(window_.get(), kTimerId, interval_, nullptr);
    else
        KillTimer(window_.get(), kTimerId);
}

void frm_Timer::OnTimer() {
    if (inTimerEvent_ || !enabled_ || !Timer1_Timer)
        return;
    const std::shared_ptr<bool> alive = alive_;
    inTimerEvent_ = true;
    Timer1_Timer();
    if (*alive)
        inTimerEvent_ = false;
}

LRESULT CALLBACK frm_Timer::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kTimerId) {
        auto* self = reinterpret_cast<frm_Timer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self) {
            const std::shared_ptr<bool> alive = self->alive_;
            try {
                self->OnTimer();
            } catch (...) {
                // Nothing may unwind through the system's dispatch code; the tick is lost.
                if (*alive)
                    self->inTimerEvent_ = false;
                NoteCaught(L"frm_Timer: a timer event");
            }
        }
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// ---- cTimeOut ----

cTimeOut::cTimeOut() : form_(std::make_unique<frm_Timer>()), MSTimer(form_.get()) {
    MSTimer->Timer1_Timer = [this] { MSTimer_Timer(); };
    SetTickIntervall(1000);
    SetTimeOutIntervall(0);
}

cTimeOut::~cTimeOut() {
    *alive_ = false;
    MSTimer = nullptr;
    form_.reset();
}

bool cTimeOut::Enabled() const {
    return MSTimer->Enabled();
}

void cTimeOut::SetEnabled(bool bEnabled) {
    if (bEnabled)
        tickCount_ = 0;
    MSTimer->SetEnabled(bEnabled);
}

void cTimeOut::SetTickIntervall(int32_t lMilliSeconds) {
    tickIntervall_ = lMilliSeconds;
    MSTimer->SetInterval(lMilliSeconds > 0 ? static_cast<uint32_t>(lMilliSeconds) : 0);
}

void cTimeOut::SetTimeOutIntervall(int32_t ticks) {
    timeOutIntervall_ = ticks;
}

void cTimeOut::Reset() {
    tickCount_ = 0;
}

void cTimeOut::MSTimer_Timer() {
    if (timeOutIntervall_ < 1 || tickCount_ < timeOutIntervall_) {
        const std::shared_ptr<bool> alive = alive_;
        if (Tick)
            Tick(static_cast<float>(tickCount_));
        if (*alive)
            ++tickCount_;
    } else {
        MSTimer->SetEnabled(false);
        tickCount_ = 0;
        if (TimeOut)
            TimeOut();
    }
}

// ---- cShellPipe ----

cShellPipe::cShellPipe() {
    WaitTimer.Tick = [this](float elapsed) { WaitTimer_Tick(elapsed); };
    WaitTimer.SetEnabled(false);
    WaitTimer.SetTickIntervall(kRunnerTickMs);
    WaitTimer.SetTimeOutIntervall(0);
}

cShellPipe::~cShellPipe() {
    *alive_ = false;
    if (WaitTimer.Enabled() && process_.process)
        TerminateProcess(process_.process.get(), 0);
}

// Handles of the previous run are of no more use once a new run starts; closing them here keeps
// a long-lived runner from piling up pipes and finished processes.
void cShellPipe::ReleaseRun() {
    process_ = ProcessInfo();
    outRead_.reset();
    outWrite_.reset();
    outIsFile_ = false;
    inRead_.reset();
    inWrite_.reset();
}

bool cShellPipe::StartProcess(const std::wstring& CmdLine, bool Visible, bool withPipes) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = Visible ? SW_SHOWNORMAL : SW_HIDE;
    if (withPipes) {
        si.dwFlags |= STARTF_USESTDHANDLES;
        si.hStdInput = inRead_.get();
        si.hStdOutput = outWrite_.get();
    }
    DWORD flags = NORMAL_PRIORITY_CLASS;
    if (!Visible)
        flags |= CREATE_NO_WINDOW;
    std::vector<wchar_t> cmd = WritableCommandLine(CmdLine);
    PROCESS_INFORMATION pi{};
    if (!mSyncShell::StartProcess(nullptr, cmd.data(), true, flags, si, pi))
        return false;
    process_ = ProcessInfo(pi);
    WaitTimer.SetEnabled(true);
    return true;
}

bool cShellPipe::ShellExecPipeAsync(const std::wstring& CmdLine, bool Visible) {
    if (Busy())
        return false;
    ReleaseRun();
    pipeMode_ = 1;
    outIsFile_ = CreateOutputFile(outRead_, outWrite_);
    if (!outIsFile_ && !CreateChildPipe(outRead_, outWrite_, false))
        return false;
    if (!CreateChildPipe(inRead_, inWrite_, true))
        return false;
    return StartProcess(CmdLine, Visible, true);
}

bool cShellPipe::ShellExecAsync(const std::wstring& CmdLine, bool Visible) {
    if (Busy())
        return false;
    ReleaseRun();
    pipeMode_ = 0;
    return StartProcess(CmdLine, Visible, false);
}

void cShellPipe::Terminate() {
    if (Busy() && process_.process)
        TerminateProcess(process_.process.get(), 1);
}

void cShellPipe::WaitTimer_Tick(float /*ElapsedSeconds*/) {
    if (WaitForSingleObject(process_.process.get(), 0) == WAIT_OBJECT_0) {
        WaitTimer.SetEnabled(false);
        if (!ReadOutput())
            return;
        outRead_.reset();  // all of it was read: a temporary file goes now
        outWrite_.reset();
        if (OnFinish)
            OnFinish();
        return;
    }
    if (pipeMode_ == 1) {
        // Nothing is ever written to the child: it reads end of file instead of waiting for ever for an
        // answer (the archiver asks for a password on its standard input).
        inWrite_.reset();
        ReadOutput();
    }
}

DWORD cShellPipe::BytesAvailable() const {
    DWORD total = 0;
    if (!outRead_ || !PeekNamedPipe(outRead_.get(), nullptr, 0, nullptr, &total, nullptr))
        return 0;
    return total;
}

bool cShellPipe::ReadOutput() {
    // A file is read to its end; a pipe only as far as it holds something, since reading an empty one
    // waits for the child.
    std::string bytes;
    DWORD error = 0;
    for (;;) {
        const DWORD want = outIsFile_ ? kFileReadChunk : BytesAvailable();
        if (want == 0)
            break;
        const size_t at = bytes.size();
        bytes.resize(at + want);
        DWORD got = 0;
        if (!ReadFile(outRead_.get(), bytes.data() + at, want, &got, nullptr)) {
            error = GetLastError();
            got = 0;
        }
        bytes.resize(at + got);
        if (got == 0 || !outIsFile_)
            break;
    }
    if (bytes.empty() && error == 0)
        return true;
    std::wstring data = error ? L"Error: ReadFile failed. " + mStringTools::DecimalText(error)
                              : mStringTools::AnsiBytesToStr(bytes);
    const std::shared_ptr<bool> alive = alive_;
    if (DataStream)
        DataStream(data);
    return *alive;
}
