// Command-line splitting and option lookup over a given text.
#pragma once

#include <string>
#include <vector>

namespace mCmdLine {

// Splits at blanks; double quotes group blanks into one item and are dropped when stripQuotes is true.
std::vector<std::wstring> SplitStrings(const std::wstring& text, bool stripQuotes);

// The value of the option written "/name=value" in `cmdText`, or empty text. The first occurrence
// counts, wherever it stands.
std::wstring GetCmdValIn(const std::wstring& name, bool stripQuotes, const std::wstring& cmdText);

// The argument text: the command line without the program path as the platform splits it, trimmed.
std::wstring ArgsAfterProgramPath(const std::wstring& cmdLine, const std::wstring& programPath);

// The role choice: the maker opens for "/maker" anywhere in the arguments (any case) or for a
// program file named exactly OVPatchMaker.
bool IsMakerMode(const std::wstring& args, const std::wstring& exeNameWithoutExtension);

}  // namespace mCmdLine
