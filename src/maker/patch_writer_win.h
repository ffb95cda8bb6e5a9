// Writing a patch file: the maker's image, the archive, the descriptor and the marker, one append at a
// time, then the signing hook.
#pragma once

#include <string>

#include "maker/descriptor_builder.h"

namespace frmMaker {

// Appends the bytes of `fileToAdd` to `output` (created when missing) in bounded chunks, then, with
// `addSize`, their count as a u32 little-endian value. Throws SysError.
void AddFileToFile(const std::wstring& output, const std::wstring& fileToAdd, bool addSize);

struct PatchJob {
    std::wstring makerFolder;  // where the output, the work files and "sign.bat" lie
    std::wstring imagePath;    // the maker's own executable
    std::wstring archivePath;  // the text of txtDataFile
    MakerSettings settings;
    std::wstring langFileText;  // the whole "PatchLang.xml"
};

struct PatchResult {
    bool ok = false;
    std::wstring outputPath;
    std::wstring message;  // in French, for the user, when !ok
    bool signStarted = false;
};

// Builds one patch. A build that cannot start (unusable name, output that is the maker itself or the
// archive) writes nothing; one that fails part-way removes its work files and the output it began.
PatchResult WritePatch(const PatchJob& job);

}  // namespace frmMaker
