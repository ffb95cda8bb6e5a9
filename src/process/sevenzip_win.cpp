#include "process/sevenzip_win.h"

#include <windows.h>

#include <new>

#include "process/sevenzip.h"
#include "support/encoding_win.h"
#include "support/file_io_win.h"
#include "support/file_system_win.h"
#include "support/pump_win.h"
#include "support/sys_error.h"
#include "support/trace.h"

namespace {

constexpr unsigned kWaitStepMs = 10;
constexpr DWORD kTempBufferChars = 1024;

// Runs `body`; a failure inside it becomes one trace line under `label` and the `failed` result.
template <typename R, typename F>
R Trapped(const wchar_t* label, R failed, F&& body) {
    try {
        return body();
    } catch (const SysError& e) {
        TraceError(ErrorTraceLine(e.number, e.description, label));
    } catch (const std::bad_alloc&) {
        TraceOutOfMemory(label);
    }
    return failed;
}

}  // namespace

c7z::c7z() {
    ShellPipe.DataStream = [this](std::wstring& data) { ShellPipe_DataStream(data); };
    ShellPipe.OnFinish = [this] { ShellPipe_OnFinish(); };
}

const std::wstring& c7z::Path7zip() {
    if (path7zip_.empty())
        path7zip_ = mGlobal::AppPath() + L"\\7z.exe";
    return path7zip_;
}

std::wstring c7z::GetFileList(const std::wstring& mask, bool Recurse) {
    if (fileName_.empty())
        return std::wstring();
    return sevenzip::ParseTechnicalListing(Run7zip(sevenzip::ListArguments(mask, Recurse, ShortPath(fileName_))));
}

bool c7z::Add(const std::wstring& FileMask) {
    return Trapped(L"Function c7z.Add", false, [&] {
        if (fileName_.empty())
            return false;
        const std::wstring args =
            sevenzip::AddArguments(ShortPath(fileName_), mGlobal::FilePathOnly(fileName_), FileMask);
        return sevenzip::ReportSucceeded(Run7zip(args));
    });
}

bool c7z::TestArchive(const std::wstring& FileName) {
    return Trapped(L"Function c7z.TestArchive", false, [&] {
        if (fileName_.empty())
            return false;
        return sevenzip::ReportSucceeded(Run7zip(sevenzip::TestArguments(ShortPath(fileName_), FileName)));
    });
}

bool c7z::Extract(const std::wstring& FileMask, const std::wstring& DestFolder, const std::wstring& ExcludeFileList) {
    return Trapped(L"Function c7z.Extract", false, [&] {
        if (fileName_.empty())
            return false;
        const bool progress = progressSwitch_ && OnProgress;
        const std::wstring args =
            sevenzip::ExtractArguments(FileMask, DestFolder, ExcludeFileList, ShortPath(fileName_), progress);
        return sevenzip::ReportSucceeded(Run7zip(args, progress));
    });
}

std::wstring c7z::TmpPath() {
    return Trapped(L"Property c7z.TmpPath", std::wstring(), [] {
        std::wstring buffer(kTempBufferChars, L'\0');
        const DWORD n = GetTempPathW(kTempBufferChars, buffer.data());
        if (n == 0 || n >= kTempBufferChars)
            return std::wstring();
        buffer.resize(n);
        return buffer;
    });
}

std::wstring c7z::GetTmpFile() {
    return Trapped(L"Function c7z.GetTmpFile", std::wstring(), [this] {
        const std::wstring folder = TmpPath();
        if (folder.empty())
            return std::wstring();
        std::wstring buffer(kTempBufferChars, L'\0');
        if (!GetTempFileNameW(folder.c_str(), L"", 0, buffer.data()))
            return std::wstring();
        buffer.resize(buffer.find(L'\0'));
        return buffer;
    });
}

void c7z::Cancel() {
    if (running_)
        ShellPipe.Terminate();
}

std::wstring c7z::Run7zip(const std::wstring& arguments, bool withProgress) {
    // A second operation started from a window event during the wait is refused before it can
    // empty the report that the running one is still collecting.
    if (running_) {
        TraceError(L"Erreur en exécutant 7z.exe");
        return std::wstring();
    }
    last7zReport_.clear();
    finished_ = false;
    if (!ShellPipe.ShellExecPipeAsync(sevenzip::CommandLine(ShortPath(Path7zip()), arguments), false)) {
        TraceError(L"Erreur en exécutant 7z.exe");
        return std::wstring();
    }
    // The runner's timer only ticks while window events run.
    running_ = true;
    if (withProgress)
        progress_.emplace();
    while (!finished_)
        SleepAndPump(kWaitStepMs);
    running_ = false;
    progress_.reset();
    if (!last7zReport_.empty())
        progressSwitch_ = sevenzip::KnowsProgressSwitch(last7zReport_);
    return last7zReport_;
}

// The short form keeps paths with spaces or characters outside the code page in one piece on the
// archiver's command line. Where the volume has no short names the path goes in unchanged.
std::wstring c7z::ShortPath(const std::wstring& path) {
    return Trapped(L"Function c7z.ShortPath", path, [&] {
        const DWORD needed = GetShortPathNameW(path.c_str(), nullptr, 0);
        if (needed == 0)
            return path;
        std::wstring buffer(needed, L'\0');
        const DWORD n = GetShortPathNameW(path.c_str(), buffer.data(), needed);
        if (n == 0 || n >= needed)
            return path;
        buffer.resize(n);
        return buffer;
    });
}

void c7z::ShellPipe_DataStream(std::wstring& StrData) {
    last7zReport_ += StrData;
    if (!progress_)
        return;
    const int before = progress_->percent();
    const int now = progress_->Feed(StrData);
    if (now != before && OnProgress)
        OnProgress(now);
}

void c7z::ShellPipe_OnFinish() {
    finished_ = true;
}
