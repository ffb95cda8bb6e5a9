// The process command line, read as UTF-16 text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mStringTools {
std::wstring GetCmdLine();
std::wstring PointerToStringW(const wchar_t* address);
}  // namespace mStringTools

namespace mCmdLine {
uintptr_t ReadPointer(const void* address);
// The arguments as the platform splits them; element 0 is the program path.
std::vector<std::wstring> GetArgList();
std::wstring GetCmdArgs();
// The value of "/name=value"; an empty `cmdText` is first filled with GetCmdArgs for later calls.
std::wstring GetCmdVal(const std::wstring& name, bool stripQuotes, std::wstring& cmdText);
}  // namespace mCmdLine
