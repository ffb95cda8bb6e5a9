// What the maker decides without the platform: the descriptor text, the output file name, the list
// fields, the suite version from "version.txt", the patch identifier, and what an imported patch
// puts back into the window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/xml_node.h"

namespace frmMaker {

// The window's fields as they feed the descriptor.
struct MakerSettings {
    std::wstring ExtractPath;
    std::wstring ORVVersion;
    std::wstring MinPatchNeeded;
    std::wstring PatchVersion;
    std::wstring LangName;  // the selected language as listed, such as "FR"
    bool LangCheck = true;
    std::wstring UpdateInfo;
    bool ForceMenuRestart = false;
    std::wstring RunAtEnd;   // one command per line
    std::wstring DelAtEnd;   // one path per line
    std::wstring FileFlags;  // one entry per line
};

// Lines cut at CR LF, stripped of leading and trailing spaces, blank ones dropped, joined with "|".
std::wstring PrepareListField(const std::wstring& text);

// The ORVPatch document: elements in their fixed order, values verbatim, CR LF after every element
// except the empty "<PatchLang/>". `langFileText` is the whole "PatchLang.xml"; its `messages` content
// becomes `Strings`.
std::wstring BuildDescriptor(const MakerSettings& settings, const std::wstring& langFileText);

// "orv_<id>_<LANG>.exe" with the language restriction, "orv_<id>_MultiLng.exe" without.
std::wstring OutputFileName(const std::wstring& patchVersion, const std::wstring& langName, bool langCheck);

// False when the name holds a character that a Windows file name cannot (control characters,
// < > : " / \ | ? *) or ends in a dot or a space, which the system would silently drop.
bool IsUsableFileName(const std::wstring& name);

// Why a build may not start. Both the window and the command line decide with CheckBuild; the window
// words the refusal with RefusalMessage.
enum class BuildRefusal {
    None,
    UnusableName,
    ListSeparator,     // a list entry holds "|", which the descriptor uses between entries
    DescriptorMarkup,  // a value holds markup that would end its element or read as another one
    OutputIsImage,
    OutputIsArchive,
    EmptyArchive,
    NotAnArchive,    // no 7z mark
    DamagedArchive,  // its start header's checksum is wrong
};

struct Refusal {
    BuildRefusal kind = BuildRefusal::None;
    std::wstring field;  // for a refused value: its descriptor element, such as "RunAfter"
    std::wstring found;  // and what in it is refused, such as "|" or "</DelAfter"
};

// What the caller found out about the files: whether the output would be the image or the archive
// itself, and the archive's size.
struct BuildFacts {
    bool outputIsImage = false;
    bool outputIsArchive = false;
    int64_t archiveSize = 0;
    std::string archiveHead;  // its first mArchiveHeader::kHeadSize bytes; empty when it cannot be read
};

Refusal CheckBuild(const MakerSettings& settings, const std::wstring& outputName, const BuildFacts& facts);

// The window's French text for a refusal of the output `outputName`.
std::wstring RefusalMessage(const Refusal& refusal, const std::wstring& outputName);

// The output's file name as the one parameter of "sign.bat".
std::wstring SignArgument(const std::wstring& fileName);

// The text cut at each CR LF; the pieces between, the last one included even when empty.
std::vector<std::wstring> SplitCrLf(const std::wstring& text);

// The third line of "version.txt", or nothing when the text has fewer than three pieces.
std::optional<std::wstring> SuiteVersionFromVersionTxt(const std::wstring& text);

// "yyyymmddhhnnss", 24-hour clock.
std::wstring FormatPatchId(int year, int month, int day, int hour, int minute, int second);

// The language names listed by the language file: the names of the first element's children.
std::vector<std::wstring> ListLanguages(const std::wstring& langFileText);

// What an imported patch puts into the window. `ExtractPath`, `PatchLang`, `Strings` and the archive
// are not taken over.
struct ImportedSettings {
    std::wstring ORVVersion;
    std::wstring MinPatchNeeded;
    std::wstring PatchVersion;
    bool ForceMenuRestart = false;
    std::wstring ORVLang;
    bool LangCheck = false;
    std::wstring UpdateInfo;  // "\n" pairs turned into CR LF
    std::wstring RunAtEnd;    // "|" turned into CR LF
    std::wstring DelAtEnd;
    std::wstring FileFlags;
};
ImportedSettings ImportFromDescriptor(const cXmlNode& descriptor);

// What a dropped patch does to the settings: every imported value replaces the setting, except the
// language, which changes only when `languages` (the offered list) holds it.
void ApplyImported(MakerSettings& settings,
                   const ImportedSettings& imported,
                   const std::vector<std::wstring>& languages);

// Index of the first entry equal to `value` without regard to ASCII letter case, or -1 (also for an
// empty value). Language codes are ASCII.
int32_t FindLanguageEntry(const std::vector<std::wstring>& entries, const std::wstring& value);

// The first path whose last characters are `extension` without regard to ASCII letter case, or nothing.
std::optional<std::wstring> FirstPathWithExtension(const std::vector<std::wstring>& paths,
                                                   const std::wstring& extension);

}  // namespace frmMaker
