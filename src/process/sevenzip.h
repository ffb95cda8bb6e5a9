// Command lines for the external archiver and the reading of its reports. The archiver is an
// external program, so the exact bytes of each command line matter: installed copies of it have
// been driven with these lines for years and must keep understanding them.
#pragma once

#include <string>

namespace sevenzip {

// The one closing line by which the archiver says that an operation went through.
inline constexpr wchar_t kSuccessMarker[] = L"Everything is Ok";

// Arguments of each operation. The archive path is passed in already shortened; masks, the
// destination folder and the exclusion list go in as given.
std::wstring ListArguments(const std::wstring& mask, bool recurse, const std::wstring& shortArchive);
std::wstring AddArguments(const std::wstring& shortArchive,
                          const std::wstring& archiveFolder,
                          const std::wstring& fileMask);
std::wstring TestArguments(const std::wstring& shortArchive, const std::wstring& member);
// With `progress` the archiver also writes its progress line to the output ("-bsp1", which archivers
// older than 15.0 refuse); without, the line is the one installed archivers have always been given.
std::wstring ExtractArguments(const std::wstring& fileMask,
                              const std::wstring& destFolder,
                              const std::wstring& excludeFileList,
                              const std::wstring& shortArchive,
                              bool progress = false);

// The whole command line: the (short) archiver path, in quotes when it holds a blank, one space, the
// arguments.
std::wstring CommandLine(const std::wstring& shortArchiver, const std::wstring& arguments);

// True when the report holds the success marker anywhere (warnings after it do not matter).
bool ReportSucceeded(const std::wstring& report);

// Keeps every "key = value" line of a technical listing (-slt) except the "Block" lines, each
// followed by CR LF. When the listing has the line of ten hyphens that opens the entries, the
// archive's own header lines before it are left out.
std::wstring ParseTechnicalListing(const std::wstring& report);

// Whether the archiver whose report this is knows the progress switch, from the version in its banner
// ("7-Zip 26.03 (x86)", "7-Zip [32] 16.02", "7-Zip (a) 19.00"): 15.0 and later. False without a banner.
bool KnowsProgressSwitch(const std::wstring& report);

// Follows the progress line in the archiver's output as it arrives in pieces. The line is redrawn in
// place with carriage returns (or backspaces, in some versions) and begins with the percentage, blanks
// before it: "  0%", " 73% - noise.bin", " 45% 12 - a\b.txt". Only a segment's start is read, so a file
// name with a "%" in it is never taken for one.
class ProgressReader {
  public:
    // The latest percentage seen so far (0 to 100), or -1 before the first.
    int Feed(const std::wstring& piece);
    int percent() const { return percent_; }

  private:
    void Segment(const std::wstring& text);
    std::wstring pending_;
    bool midSegment_ = false;  // the start of the current segment is already read
    int percent_ = -1;
};

}  // namespace sevenzip
