// Thin wrappers over the platform's dialogs and window calls.
#pragma once

#include <windows.h>

#include <string>

namespace mUnicodePatch {

// Task-modal message box; an empty title shows "OVPatcher v1.0.12". Owner 0 = the active window.
int MsgBox(const std::wstring& prompt, UINT buttons, const std::wstring& title = L"", HWND owner = nullptr);

// The folder picker; `start` is preselected. Empty text when cancelled.
std::wstring BrowseForFolder(HWND owner, const std::wstring& title, const std::wstring& start);

struct FileDialogArgs {
    std::wstring fileName;   // in/out
    std::wstring fileTitle;  // in/out
    bool mustExist = false;
    bool multiSelect = false;
    bool readOnly = false;  // in/out
    bool hideReadOnly = false;
    std::wstring filter;  // in/out: "desc|pattern|desc|pattern" (":" also separates)
    long filterIndex = 1; // in/out
    std::wstring initialFolder;
    std::wstring title;
    std::wstring defaultExtension;
    HWND owner = nullptr;  // (HWND)-1 = none
    DWORD extraFlags = 0;  // in/out
    bool save = false;
};
bool ShowFileDialog(FileDialogArgs& args);

void SetWindowIcon(HWND window, const wchar_t* iconName, bool alsoOwner);
void SetTopMost(HWND form, bool on);
bool RegKeyExists(HKEY root, const std::wstring& path);
bool IsWinNT();

}  // namespace mUnicodePatch
