// Writing a patch file: the maker's image, the archive, then the descriptor and the marker from memory,
// then the signing hook.
#pragma once

#include <cstdint>
#include <string>

#include "maker/descriptor_builder.h"

namespace frmMaker {

// Appends the bytes of `fileToAdd` to `output` (created when missing) in bounded chunks, then, with
// `addSize`, their count as a u32 little-endian value. Throws SysError.
void AddFileToFile(const std::wstring& output, const std::wstring& fileToAdd, bool addSize);

struct PatchJob {
    std::wstring makerFolder;  // where the output, the work files and "sign.bat" lie
    std::wstring imagePath;    // the maker's own executable
    std::wstring archivePath;  // the text of txtDataFile; a relative one is taken from makerFolder
    MakerSettings settings;
    std::wstring langFileText;  // the whole "PatchLang.xml"
    // Asked, with the output's path, before a file of that name is replaced; false leaves it as it was.
    // Unset, it is replaced without a question.
    bool (*confirmReplace)(const std::wstring& path) = nullptr;
};

struct PatchResult {
    bool ok = false;
    std::wstring outputPath;
    std::wstring message;  // in French, for the user, when !ok
    bool declined = false;  // the user kept the existing output: nothing was written
    int64_t size = -1;      // the bytes written, when ok (what "sign.bat" adds later is not counted)
    bool signStarted = false;
};

// Builds one patch. A build that cannot start (CheckBuild's refusals, or an existing output the user
// keeps) writes nothing; one that fails part-way removes what it began and leaves an earlier patch of that
// name as it was. No work file is written beside the maker but the new patch under a name of its own, which
// becomes the output only when whole.
PatchResult WritePatch(const PatchJob& job);

}  // namespace frmMaker
