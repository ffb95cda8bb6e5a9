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
std::wstring ExtractArguments(const std::wstring& fileMask,
                              const std::wstring& destFolder,
                              const std::wstring& excludeFileList,
                              const std::wstring& shortArchive);

// The whole command line: the (short) archiver path, in quotes when it holds a blank, one space, the
// arguments.
std::wstring CommandLine(const std::wstring& shortArchiver, const std::wstring& arguments);

// True when the report holds the success marker anywhere (warnings after it do not matter).
bool ReportSucceeded(const std::wstring& report);

// Keeps every "key = value" line of a technical listing (-slt) except the "Block" lines, each
// followed by CR LF. When the listing has the line of ten hyphens that opens the entries, the
// archive's own header lines before it are left out.
std::wstring ParseTechnicalListing(const std::wstring& report);

}  // namespace sevenzip
