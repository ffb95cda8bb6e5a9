// Helpers shared by the process tests: the test program doubles as the child it starts (see
// test_child_win_test.cpp), and waits poll until a deadline while window events run.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace proctest {

// Full path of the running test program.
std::wstring SelfPath();
// A command line that starts this program as a child in the given mode.
std::wstring ChildCommand(const std::wstring& modeAndArgs);
// Lets window events run until `done` is true or `timeoutMs` has passed; returns `done()`.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
// Starts a command line and waits for it (tests only); returns its exit code, or -1.
long RunAndWait(const std::wstring& cmdLine, const std::wstring& currentFolder, DWORD timeoutMs = 60000);

std::string ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExistsW(const std::wstring& path);

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
// Its name holds spaces and a character that no ANSI code page of the Latin family can hold.
class TempFolder {
  public:
    explicit TempFolder(const std::wstring& tag);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& path() const { return path_; }
    // path() + "\" + relative, creating the folders on the way for a file path.
    std::wstring Make(const std::wstring& relative, const std::string& content);
    std::wstring Sub(const std::wstring& relative) const { return path_ + L"\\" + relative; }

  private:
    std::wstring path_;
};

}  // namespace proctest
