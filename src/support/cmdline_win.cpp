#include "support/cmdline_win.h"

#include <windows.h>
#include <shellapi.h>

#include "support/cmdline.h"
#include "support/encoding.h"
#include "support/encoding_win.h"
#include "support/handles_win.h"

namespace mStringTools {

std::wstring PointerToStringW(const wchar_t* address) {
    if (!address)
        return std::wstring();
    const int n = lstrlenW(address);
    if (n <= 0)
        return std::wstring();
    return std::wstring(address, static_cast<size_t>(n));
}

std::wstring GetCmdLine() {
    const std::wstring raw = PointerToStringW(GetCommandLineW());
    int encoding = kDetect;
    bool bomChanged = false;
    // The platform gives UTF-16; the statistical test may still reject a very short command line,
    // and then decoding its bytes as a code page would cut it at the first zero byte.
    const std::string bytes = TextToUtf16Bytes(raw);
    const std::wstring text = StrDataToUnicode(bytes, encoding, 1252, false, bomChanged);
    return encoding == kUtf16Le ? text : raw;
}

}  // namespace mStringTools

namespace mCmdLine {

uintptr_t ReadPointer(const void* address) {
    if (!address)
        return 0;
    return *static_cast<const uintptr_t*>(address);
}

std::vector<std::wstring> GetArgList() {
    std::vector<std::wstring> list;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    const UniqueHLocal owner(argv);
    if (!argv)
        return list;
    for (int i = 0; i < count; ++i)
        list.push_back(mStringTools::PointerToStringW(reinterpret_cast<const wchar_t*>(ReadPointer(argv + i))));
    return list;
}

std::wstring GetCmdArgs() {
    const std::vector<std::wstring> args = GetArgList();
    return ArgsAfterProgramPath(mStringTools::GetCmdLine(), args.empty() ? std::wstring() : args[0]);
}

std::wstring GetCmdVal(const std::wstring& name, bool stripQuotes, std::wstring& cmdText) {
    if (cmdText.empty())
        cmdText = GetCmdArgs();
    return GetCmdValIn(name, stripQuotes, cmdText);
}

}  // namespace mCmdLine
