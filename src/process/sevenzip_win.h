// Drives the external archiver for one archive at a time: one command line per operation, run
// hidden through the piped runner, waited for while window events go on, judged by its report.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "process/sevenzip.h"
#include "process/shell_pipe_win.h"

class c7z {
  public:
    c7z();
    ~c7z() = default;
    c7z(const c7z&) = delete;
    c7z& operator=(const c7z&) = delete;

    // Full path of the archive; empty means none, and every operation then does nothing.
    void SetFileName(const std::wstring& value) { fileName_ = value; }
    // Full path of the archiver; read while empty, it becomes the program's folder + "\7z.exe".
    const std::wstring& Path7zip();
    void SetPath7zip(const std::wstring& value) { path7zip_ = value; }
    // All standard output of the most recent archiver run.
    const std::wstring& Last7zReport() const { return last7zReport_; }

    // The "key = value" lines of the matching entries; empty when nothing matched.
    std::wstring GetFileList(const std::wstring& mask, bool Recurse);
    bool Add(const std::wstring& FileMask);
    // An empty FileName tests the whole archive.
    bool TestArchive(const std::wstring& FileName);
    // ExcludeFileList is empty or the path of a list file of names to leave out.
    bool Extract(const std::wstring& FileMask, const std::wstring& DestFolder, const std::wstring& ExcludeFileList);

    // The archiver's percentage (0 to 100) while an extraction runs, each time it moves. Asked for only from
    // an archiver whose banner, seen in an earlier run, says that it knows the progress switch.
    std::function<void(int percent)> OnProgress;
    // Ends the running archiver; its operation then fails. Nothing when none runs.
    void Cancel();

    // The system's temporary folder with its final backslash; empty on failure.
    std::wstring TmpPath();
    // A new empty file in the temporary folder; empty on failure.
    std::wstring GetTmpFile();

  private:
    std::wstring Run7zip(const std::wstring& arguments, bool withProgress = false);
    std::wstring ShortPath(const std::wstring& path);
    void ShellPipe_DataStream(std::wstring& StrData);
    void ShellPipe_OnFinish();

    std::wstring fileName_;
    std::wstring path7zip_;
    std::wstring last7zReport_;
    bool finished_ = false;
    bool running_ = false;
    bool progressSwitch_ = false;  // the archiver of the last report knows it
    std::optional<sevenzip::ProgressReader> progress_;
    cShellPipe ShellPipe;
};
