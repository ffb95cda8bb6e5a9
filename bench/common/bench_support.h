// What the benchmarks share: a clock, files, hidden child runs, and finding a process's windows.
// Each benchmark needs OV_7Z_DIR (real 7z.exe + 7z.dll) and OV_BUILD_DIR (OVPatcher.exe, fakes\), as the
// tests have.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/handles_win.h"

namespace bench {

double NowMs();
// The middle of the values (the upper middle for an even count).
double Median(std::vector<double> values);
std::wstring Env(const wchar_t* name);
std::string ReadAll(const std::wstring& path);
bool WriteAll(const std::wstring& path, const std::string& bytes);
std::string Utf8(const std::wstring& text);
// Starts a command line hidden, its standard output and error going to `output` (inheritable).
bool StartHidden(const std::wstring& cmdLine, const std::wstring& folder, HANDLE output, ProcessInfo& process);
// Starts a command line hidden and waits for it; its output is thrown away. Returns the exit code or -1.
long Run(const std::wstring& cmdLine, const std::wstring& folder = L"");
// A visible top-level window of process `pid` for which `match` holds, polled every `pollMs`; null on
// timeout. Each poll is a round of requests to the wine server that the program being timed shares, so a
// wait that spans seconds of that program's work polls less often, or it slows what it measures.
HWND WaitForWindow(DWORD pid, const std::function<bool(HWND)>& match, int timeoutMs, DWORD pollMs = 1);
bool IsDialog(HWND w);
std::wstring TextOf(HWND w);
// Ends every program started from below `root`.
void EndProgramsUnder(const std::wstring& root);
// Removes a folder and everything in it.
void KillTree(const std::wstring& folder);

// A throw-away installation where the fake menu can run: Orvana.exe, the real archiver, a version file
// (version 5.8, patch 20141104134857, language fr) and the fake menu in its place.
struct Installation {
    std::wstring root;
    std::wstring menu;
    std::wstring sevenZip;  // the real archiver's folder
};
bool MakeInstallation(const std::wstring& root, Installation& out);
extern const char kVersionFile[];

}  // namespace bench
