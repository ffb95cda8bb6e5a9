// What the patcher window keeps for its whole life: the start-up checks fill it, the apply reads it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "container/xml_node.h"
#include "patcher/unattended.h"
#include "process/sevenzip_win.h"
#include "support/handles_win.h"

struct FrmMainState {
    HWND hwnd = nullptr;                     // the window itself
    cXmlNode Descriptor;                     // the ORVPatch document read from the patch
    std::wstring LangCode;                   // chosen language code, e.g. "FR", "fr" or "EN"
    int32_t StringsPos = 0;                  // start of the chosen language block; 0 = no string table
    std::wstring InstallRoot;                // installation root, no trailing backslash
    std::wstring MenuExePath;                // running OrvanaMenu.exe; empty when picked by hand
    std::unique_ptr<c7z> Archiver;           // created on first use by the apply
    bool Applying = false;                   // an apply runs: requests to close wait for its end
    UniqueFile PatchFile;                    // the patch, held against writes: what was checked is applied
    mUnattended::RunOptions Options;         // the switches the program was started with
    mUnattended::ExitCode Exit = mUnattended::ExitCode::NotApplied;  // what the run ends with so far
    bool Cancellable = false;                // the apply has stopped nothing yet: Cancel leaves all untouched
    bool CancelRequested = false;            // Cancel was pressed while it could still be
    std::wstring NotRestarted;               // stopped programs left for the user to start, each after CR LF
};

namespace frmMain {

// The one patcher window's state.
FrmMainState& State();
// The text of `key` in the chosen language ("\n" already turned into CR LF).
std::wstring Str(const std::wstring& key);
// The text in the patch's language where its message table has one, else the English one.
std::wstring StrOr(const wchar_t* key, const wchar_t* english);

// Every box of the patcher by its message key (text: the key's text when empty): shown, or under /silent
// answered as a careful user would; logged with its English text and answer; the run's outcome noted
// when the answer ends the run.
int Ask(const std::wstring& key, UINT style, const std::wstring& text = L"", HWND owner = nullptr);

// The apply, from the first step to the restart of the suite (apply_win.cpp).
void cmdApply_Click(FrmMainState& state);

// The suite's programs stopped as the apply stops them, `recover` run, and the programs started again:
// what a dead apply's recovery needs when they hold its files. Whether `recover` succeeded.
bool RecoverWithSuiteStopped(FrmMainState& state, const std::function<bool()>& recover);

}  // namespace frmMain
