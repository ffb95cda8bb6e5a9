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
                              const std::wstring& shortArchive,
                              bool progress) {
    std::wstring args = progress ? L"x -y -r -bsp1 " : L"x -y -r ";
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

bool KnowsProgressSwitch(const std::wstring& report) {
    static const std::wstring kName = L"7-Zip ";
    const size_t name = report.find(kName);
    // The banner is the report's first line; a name further down belongs to a path or a message.
    if (name == std::wstring::npos || report.find_first_not_of(L"\r\n ", 0) != name)
        return false;
    size_t at = name + kName.size();
    // Tags before the version: "[32]", "(a)".
    while (at < report.size() && (report[at] == L'[' || report[at] == L'(')) {
        const size_t close = report.find(report[at] == L'[' ? L']' : L')', at);
        if (close == std::wstring::npos)
            return false;
        at = report.find_first_not_of(L' ', close + 1);
        if (at == std::wstring::npos)
            return false;
    }
    int major = 0;
    size_t digits = 0;
    for (; at < report.size() && report[at] >= L'0' && report[at] <= L'9' && digits < 4; ++at, ++digits)
        major = major * 10 + (report[at] - L'0');
    return digits > 0 && at < report.size() && report[at] == L'.' && major >= 15;
}

int ProgressReader::Feed(const std::wstring& piece) {
    pending_ += piece;
    size_t start = 0;
    for (;;) {
        const size_t end = pending_.find_first_of(L"\r\n\b", start);
        if (end == std::wstring::npos)
            break;
        if (!midSegment_)
            Segment(pending_.substr(start, end - start));
        midSegment_ = false;
        start = end + 1;
    }
    pending_.erase(0, start);
    // A long name without a line end yet: only its start can hold a percentage.
    if (pending_.size() > 64) {
        if (!midSegment_)
            Segment(pending_);
        pending_.clear();
        midSegment_ = true;
    }
    return percent_;
}

void ProgressReader::Segment(const std::wstring& text) {
    size_t at = text.find_first_not_of(L' ');
    if (at == std::wstring::npos)
        return;
    int value = 0;
    size_t digits = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at, ++digits)
        value = value * 10 + (text[at] - L'0');
    if (digits == 0 || digits > 3 || value > 100 || at >= text.size() || text[at] != L'%')
        return;
    if (at + 1 < text.size() && text[at + 1] != L' ')
        return;
    percent_ = value;
}

}  // namespace sevenzip
