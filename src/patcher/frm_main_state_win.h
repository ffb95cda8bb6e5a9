// What the patcher window keeps for its whole life: the start-up checks fill it, the apply reads it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "container/xml_node.h"
#include "process/sevenzip_win.h"
#include "support/handles_win.h"

struct FrmMainState {
    HWND hwnd = nullptr;                     // the window itself
    cXmlNode Descriptor;                     // the ORVPatch document read from the patch
    std::wstring LangCode;                   // chosen language code, e.g. "FR", "fr" or "EN"
    int32_t StringsPos = 0;                  // start of the chosen language block; 0 = no string table
    std::wstring InstallRoot;                // installation root, no trailing backslash
    std::wstring MenuExePath;                // running OrvanaMenu.exe; empty when picked by hand
    std::vector<std::wstring> InstallRoots;  // scratch list of candidate roots
    std::unique_ptr<c7z> Archiver;           // created on first use by the apply
    bool Applying = false;                   // an apply runs: requests to close wait for its end
    UniqueFile PatchFile;                    // the patch, held against writes: what was checked is applied
};

namespace frmMain {

// The one patcher window's state.
FrmMainState& State();
// The text of `key` in the chosen language ("\n" already turned into CR LF).
std::wstring Str(const std::wstring& key);

// The apply, from the first step to the restart of the suite (apply_win.cpp).
void cmdApply_Click(FrmMainState& state);

}  // namespace frmMain
