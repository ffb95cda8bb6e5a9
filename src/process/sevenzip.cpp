#include "process/sevenzip.h"

#include <string_view>

namespace sevenzip {

std::wstring ListArguments(const std::wstring& mask, bool recurse, const std::wstring& shortArchive) {
    std::wstring args = L" l ";
    if (recurse)
        args += L"-r ";
    args += L"-slt \"";
    args += shortArchive;
    args += L"\" ";
    args += mask;
    return args;
}

std::wstring AddArguments(const std::wstring& shortArchive,
                          const std::wstring& archiveFolder,
                          const std::wstring& fileMask) {
    return L" a \"" + shortArchive + L"\"" + L" \"" + archiveFolder + L"\\" + fileMask + L"\"";
}

std::wstring TestArguments(const std::wstring& shortArchive, const std::wstring& member) {
    std::wstring args = L"t \"" + shortArchive;
    if (!member.empty())
        args += L"\" \"" + member + L"\"";
    else
        args += L"\"";
    return args;
}

std::wstring ExtractArguments(const std::wstring& fileMask,
                              const std::wstring& destFolder,
                              const std::wstring& excludeFileList,
                              const std::wstring& shortArchive) {
    std::wstring args = L"x -y -r ";
    if (!excludeFileList.empty())
        args += L" -x@\"" + excludeFileList + L"\" ";
    args += L" -o\"" + destFolder + L"\" \"" + shortArchive + L"\" \"" + fileMask + L"\"";
    return args;
}

std::wstring CommandLine(const std::wstring& shortArchiver, const std::wstring& arguments) {
    // A volume without short names leaves the blanks in; quoted, the path stays one piece. Otherwise the
    // line stays as installed archivers have always been given it.
    if (shortArchiver.find_first_of(L" \t") != std::wstring::npos)
        return L"\"" + shortArchiver + L"\" " + arguments;
    return shortArchiver + L" " + arguments;
}

bool ReportSucceeded(const std::wstring& report) {
    return report.find(kSuccessMarker) != std::wstring::npos;
}

std::wstring ParseTechnicalListing(const std::wstring& report) {
    static const std::wstring kEntriesStart = L"----------";
    static const std::wstring kLineEnd = L"\r\n";
    static const std::wstring kKeySeparator = L" = ";

    size_t pos = report.find(kEntriesStart);
    if (pos == std::wstring::npos)
        pos = 0;

    std::wstring result;
    while (pos <= report.size()) {
        size_t end = report.find(kLineEnd, pos);
        if (end == std::wstring::npos)
            end = report.size();
        const std::wstring_view line(report.data() + pos, end - pos);
        const size_t sep = line.find(kKeySeparator);
        if (sep != std::wstring_view::npos && line.substr(0, sep) != L"Block") {
            result.append(line);
            result += kLineEnd;
        }
        if (end == report.size())
            break;
        pos = end + kLineEnd.size();
    }
    return result;
}

}  // namespace sevenzip
