#include "patcher/apply.h"

#include <algorithm>

#include "appclose/wildcard.h"
#include "container/xml_node.h"
#include "install/install_plan.h"
#include "support/encoding.h"
#include "support/path.h"

namespace mApplyPatch {
using mStringTools::AsciiLower;

std::wstring CloseFlagPath(const std::wstring& menuExePath) {
    return mGlobal::FilePathOnly(menuExePath) + L"\\data\\patch_close";
}

std::wstring WorkFolder(const std::wstring& tempFolder, const std::wstring& exeNameWithoutExtension, uint32_t suffix) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring hex;
    do {
        hex.insert(hex.begin(), kHex[suffix & 0xF]);
        suffix >>= 4;
    } while (suffix != 0);
    return tempFolder + WorkFolderStem(exeNameWithoutExtension) + L"_" + hex + L"\\";
}

std::wstring WorkFolderStem(std::wstring exeNameWithoutExtension) {
    for (wchar_t& c : exeNameWithoutExtension) {
        const bool plain = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                           c == L'_' || c == L'-' || c == L'.';
        c = plain ? c : L'_';
    }
    return exeNameWithoutExtension;
}

bool IsWorkFolderOf(const std::wstring& folderName, const std::wstring& exeNameWithoutExtension) {
    const std::wstring prefix = AsciiLower(WorkFolderStem(exeNameWithoutExtension)) + L"_";
    const std::wstring name = AsciiLower(folderName);
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return name.find_first_not_of(L"0123456789abcdef", prefix.size()) == std::wstring::npos;
}

std::vector<std::wstring> SplitList(const std::wstring& text) {
    std::vector<std::wstring> items;
    if (text.empty())
        return items;
    for (std::wstring& item : mStringTools::SplitAt(text, L'|')) {
        if (item.find_first_not_of(L" \t\r\n") != std::wstring::npos)
            items.push_back(std::move(item));
    }
    return items;
}

std::wstring Substitute(const std::wstring& item, const Placeholders& values) {
    const std::pair<const wchar_t*, const std::wstring*> kinds[] = {
        {L"%ORV%", &values.installRoot}, {L"%TMPFLD%", &values.workFolder}, {L"%LNG%", &values.patchLang}};
    std::wstring text;
    for (size_t i = 0; i < item.size();) {
        bool replaced = false;
        for (const auto& [name, value] : kinds) {
            const size_t size = std::char_traits<wchar_t>::length(name);
            if (!replaced && item.compare(i, size, name) == 0) {
                text += *value;
                i += size;
                replaced = true;
            }
        }
        if (!replaced)
            text += item[i++];
    }
    return text;
}

std::vector<std::wstring> IfExistsEntries(const std::wstring& fileFlags) {
    std::vector<std::wstring> paths;
    if (fileFlags.empty())
        return paths;
    for (const std::wstring& entry : mStringTools::SplitAt(fileFlags, L'|')) {
        const std::vector<std::wstring> fields = mStringTools::SplitAt(entry, L';');
        if (fields.size() != 2 || fields[1].empty())
            continue;
        if (AsciiLower(fields[0]).find(L"ifexists") != std::wstring::npos)
            paths.push_back(fields[1]);
    }
    return paths;
}

std::wstring ExclusionListText(const std::wstring& fileFlags,
                               const std::wstring& installRoot,
                               const std::wstring& extractPath,
                               const std::function<bool(const std::wstring&)>& fileExists) {
    std::wstring list;
    for (const std::wstring& relative : IfExistsEntries(fileFlags)) {
        if (!fileExists(mInstall::PathUnderExtractFolder(installRoot, extractPath, relative)))
            list += relative + L"\r\n";
    }
    return list;
}

bool MenuRestartWanted(const std::wstring& forceMenuRestart, const std::function<bool()>& menuInArchive) {
    return forceMenuRestart == L"1" || menuInArchive();
}

ArchiveContents ContentsOfListing(const std::wstring& listing) {
    const auto value = [&](size_t pos, size_t end, const wchar_t* key, size_t keySize) {
        return listing.compare(pos, keySize, key) == 0 ? listing.substr(pos + keySize, end - pos - keySize)
                                                       : std::wstring(L"\x1");
    };
    ArchiveContents found;
    // The archiver names the archive itself first, above a line of dashes; its entries follow.
    const size_t dashes = listing.find(L"\r\n----------\r\n");
    size_t pos = dashes == std::wstring::npos ? 0 : dashes + 14;
    while (pos < listing.size()) {
        size_t end = listing.find(L"\r\n", pos);
        if (end == std::wstring::npos)
            end = listing.size();
        if (std::wstring path = value(pos, end, L"Path = ", 7); path != L"\x1") {
            const std::vector<std::wstring> parts = mStringTools::SplitAt(path, L'\\');
            for (size_t i = 0; i < parts.size(); ++i) {
                const std::wstring name = AsciiLower(parts[i]);
                found.anyExe |= name.size() >= 4 && name.compare(name.size() - 4, 4, L".exe") == 0;
                if (i == 0)
                    continue;
                found.assoc |= name == L"orvanaassoc.exe";
                found.wrapper |= name == L"orvanawrapper.exe";
                found.menu |= name == L"orvanamenu.exe";
            }
            found.files.push_back({std::move(path)});
        } else if (found.files.empty()) {
        } else if (value(pos, end, L"Folder = ", 9) == L"+" || value(pos, end, L"Attributes = D", 14) != L"\x1") {
            found.files.pop_back();  // a 7z archive says so by its attributes, others by "Folder"; no size
        } else if (const std::wstring size = value(pos, end, L"Size = ", 7); size != L"\x1") {
            uint64_t n = 0;
            for (wchar_t c : size)
                n = c >= L'0' && c <= L'9' ? n * 10 + static_cast<uint64_t>(c - L'0') : n;
            found.files.back().size = n;
            found.size += n;
        }
        pos = end + 2;
    }
    return found;
}

namespace {

// Whether `mask` matches the path from `p` on up to the end or a backslash: "*" and "?" as the archiver reads
// them within a name, a backslash between names, letter case aside.
bool MatchesFrom(const wchar_t* p, const wchar_t* mask) {
    for (;; ++p, ++mask) {
        if (*mask == L'*') {
            for (;; ++p) {
                if (MatchesFrom(p, mask + 1))
                    return true;
                if (!*p || *p == L'\\')
                    return false;
            }
        }
        if (!*mask)
            return !*p || *p == L'\\';
        if (!*p || (*mask == L'?' ? *p == L'\\' : mAppClose::FoldLatin(*mask) != mAppClose::FoldLatin(*p)))
            return false;
    }
}

}  // namespace

bool ExcludedByArchiver(const std::wstring& path, const std::wstring& pattern) {
    if (pattern.empty())
        return false;
    for (size_t start = 0;; ++start) {
        if (MatchesFrom(path.c_str() + start, pattern.c_str()))
            return true;
        if ((start = path.find(L'\\', start)) == std::wstring::npos)
            return false;
    }
}

std::wstring FirstFileNotStaged(const ArchiveContents& contents,
                                const std::wstring& exclusionList,
                                const std::wstring& staging,
                                const std::function<int64_t(const std::wstring& path)>& sizeOf) {
    const std::vector<std::wstring> excluded = mStringTools::SplitAt(exclusionList, L'\n');
    for (const ArchiveFile& file : contents.files) {
        // The archiver lists names in the console's code page: one beyond ASCII may come out as another
        // name, or with "?", and could never be found. Those the listing gives faithfully are checked.
        bool kept = std::all_of(file.path.begin(), file.path.end(),
                                [](wchar_t c) { return c >= L' ' && c < 0x7F && c != L'?'; });
        for (std::wstring pattern : excluded) {
            if (!pattern.empty() && pattern.back() == L'\r')
                pattern.pop_back();
            kept &= !ExcludedByArchiver(file.path, pattern);
        }
        if (kept && sizeOf(staging + file.path) != static_cast<int64_t>(file.size))
            return file.path;
    }
    return L"";
}

ToolAction ActionForTool(const std::wstring& programPath) {
    const std::wstring name = AsciiLower(mGlobal::FileNameOnly(programPath));
    if (name == L"zet.exe")
        return ToolAction::Quit;
    if (name == L"orvanaassoc.exe" || name == L"orvanamenu.exe" || name == L"orvanawrapper.exe")
        return ToolAction::Leave;
    return ToolAction::Close;
}

std::wstring ZetRestartArguments(const std::wstring& appFolder, const std::wstring& appExeName) {
    return L"/exe=\"" + appFolder + L"\\" + appExeName + L".exe\"";
}

std::optional<std::wstring> RewriteVersionFile(const std::wstring& versionText,
                                               const std::wstring& orvVersion,
                                               const std::wstring& patchVersion) {
    const cXmlNode root(versionText);
    if (root.Name() != L"OrvanaVersion")
        return std::nullopt;
    std::wstring body;
    bool patchWritten = false;
    const int32_t count = root.ChildCount();
    for (int32_t i = 1; i <= count; ++i) {
        const std::optional<cXmlNode> child = root.Child(i);
        if (!child)
            continue;
        const std::wstring tag = child->Name();
        const std::wstring name = tag.substr(0, tag.find_first_of(L" \t\r\n"));
        std::wstring value = child->ChildValue(name);
        // Read exactly: the child is its tag, its value and the closing tag of its name, nothing more.
        // Anything else (closed in other letter case, self-closing, never closed) is kept as it was
        // written, since writing back what was read of it would change or lose its value.
        if (name.empty() || child->XmlData != L"<" + tag + L">" + value + L"</" + name + L">") {
            body += L"\t" + child->XmlData + L"\r\n";
            continue;
        }
        if (name == L"Version") {
            value = orvVersion;
        } else if (name == L"Patch") {
            value = patchVersion;
            patchWritten = true;
        }
        // A second child of the same name keeps its own value; attributes stay on the opening tag.
        body += L"\t<" + tag + L">" + value + L"</" + name + L">\r\n";
    }
    if (!patchWritten)
        body += L"\t" + cXmlNode::XmlCode(L"Patch", patchVersion);
    return cXmlNode::XmlCode(L"OrvanaVersion", L"\r\n" + body);
}

std::optional<std::wstring> NewVersionRecord(const std::wstring& patchVersion,
                                             const std::wstring& orvVersion,
                                             const std::optional<std::wstring>& installed,
                                             const std::optional<std::wstring>& brought) {
    if (patchVersion.empty() || !installed)
        return std::nullopt;
    return RewriteVersionFile(brought ? *brought : *installed, orvVersion, patchVersion);
}

}  // namespace mApplyPatch
