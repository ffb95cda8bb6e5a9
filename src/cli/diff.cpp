// ovpatch diff: the archive and the settings of a patch that takes an installation from one release to
// the next.
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>

#include "cli/common.h"
#include "cli/system.h"
#include "container/xml_node.h"
#include "maker/descriptor_builder.h"
#include "patcher/apply.h"

namespace ovpatch {
namespace {

namespace fs = std::filesystem;

// The patcher writes the record itself, and each installation's record carries its own language.
std::wstring VersionFileKey() {
    return FoldCase(std::wstring(mApplyPatch::kVersionFile).substr(1));
}

struct Count {
    size_t files = 0;
    uintmax_t bytes = 0;
    void Add(uintmax_t size) {
        ++files;
        bytes += size;
    }
};

std::string CountText(const char* what, const Count& c) {
    char line[96];
    std::snprintf(line, sizeof line, "%-10s%6zu file%s %14ju bytes\n", what, c.files, c.files == 1 ? " " : "s",
                  c.bytes);
    return line;
}

// Every folder above each file, folded.
std::set<std::wstring> FoldersOf(const Tree& tree) {
    std::set<std::wstring> folders;
    for (const auto& [key, file] : tree)
        for (size_t at = key.find(L'\\'); at != std::wstring::npos; at = key.find(L'\\', at + 1))
            folders.insert(key.substr(0, at));
    return folders;
}

void MoveInto(const fs::path& from, const std::string& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec)
        throw Failure{kWriteFailed, "cannot write " + to + ": " + ec.message()};
}

fs::path FolderOf(const std::string& file) {
    const fs::path parent = fs::path(file).parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DiffReleases(const std::string& oldDir,
                                                              const std::string& newDir,
                                                              const std::string& archive,
                                                              std::ostream& report) {
    const Tree before = ReadTree(oldDir, "OLD");
    const Tree after = ReadTree(newDir, "NEW");
    const std::wstring record = VersionFileKey();

    // A file cannot take a folder's place nor a folder a file's: the patcher extracts before it deletes.
    const std::set<std::wstring> oldFolders = FoldersOf(before), newFolders = FoldersOf(after);
    for (const auto& [key, file] : after)
        if (oldFolders.count(key))
            throw Failure{kRefused, "NEW's file " + Utf8(file.relative) +
                                        " is a folder in OLD: the patcher cannot put a file in a folder's place"};
    for (const auto& [key, file] : before)
        if (newFolders.count(key))
            throw Failure{kRefused, "OLD's file " + Utf8(file.relative) +
                                        " is a folder in NEW: the patcher cannot put a folder in a file's place"};

    Count added, changed, removed, unchanged;
    std::string shipped, lines;
    for (const auto& [key, file] : after) {
        if (key == record)
            continue;
        const auto old = before.find(key);
        const char* what = nullptr;
        if (old == before.end()) {
            added.Add(file.size);
            what = "added     ";
        } else if (old->second.relative != file.relative || old->second.size != file.size ||
                   !SameContent(old->second.path, file.path)) {
            changed.Add(file.size);
            what = "changed   ";
        } else {
            unchanged.Add(file.size);
            continue;
        }
        lines += std::string("  ") + what + Utf8(file.relative) + "\n";
        shipped += fs::relative(file.path, newDir).string() + "\n";
    }
    std::vector<std::pair<std::string, std::string>> settings;
    for (const auto& [key, file] : before) {
        if (key == record || after.count(key))
            continue;
        removed.Add(file.size);
        lines += "  removed   " + Utf8(file.relative) + "\n";
        settings.push_back({"delete-after", "%ORV%\\" + Utf8(file.relative)});
    }
    report << lines << CountText("added", added) << CountText("changed", changed) << CountText("removed", removed)
           << CountText("unchanged", unchanged);
    if (shipped.empty())
        throw Failure{kRefused, removed.files == 0 ? "nothing changed from OLD to NEW: no patch to make"
                                                   : "NEW only removes files: a patch carries at least one file"};

    // The suite version as the maker window reads it from the installation's version.txt, the minimum
    // patch as the patcher reads the installation's record.
    if (const auto txt = after.find(FoldCase(L"version.txt")); txt != after.end()) {
        if (auto version = frmMaker::SuiteVersionFromVersionTxt(DecodeText(ReadWhole(txt->second.path, "version.txt"))))
            settings.insert(settings.begin(), {"suite-version", Utf8(*version)});
    }
    if (settings.empty() || settings.front().first != "suite-version")
        report << "no suite version: NEW's version.txt has no third line; give build --suite-version\n";
    if (const auto ver = before.find(record); ver != before.end()) {
        const cXmlNode node(DecodeText(ReadWhole(ver->second.path, "OLD's version.ver")));
        const std::wstring patch = node.ChildValue(L"Patch");
        if (node.Name() == L"OrvanaVersion" && !patch.empty())
            settings.insert(settings.begin() + (settings.empty() || settings.front().first != "suite-version" ? 0 : 1),
                            {"min-patch", Utf8(patch)});
    }

    // Packed under a temporary name beside the archive: 7zz adds to an archive that exists.
    const TempFolder temp(FolderOf(archive));
    const fs::path list = temp.path() / "files.txt";
    std::ofstream(list, std::ios::binary) << shipped;
    const fs::path packed = temp.path() / "data.7z";
    SevenZip({"a", "-t7z", "-bd", "-bso0", "-bsp0", "-scsUTF-8", fs::absolute(packed).string(),
              "@" + fs::absolute(list).string()},
             newDir);
    MoveInto(packed, archive);
    return settings;
}

namespace {

int Diff(const std::string& oldDir,
         const std::string& newDir,
         const std::string& archive,
         const std::string& settingsFile,
         std::ostream& out) {
    std::error_code ec;
    for (const std::string* file : {&archive, &settingsFile})
        if (fs::is_directory(*file, ec) || !fs::is_directory(FolderOf(*file), ec))
            throw Failure{kWriteFailed, "cannot write " + *file + ": not a file in an existing folder"};
    const auto settings = DiffReleases(oldDir, newDir, archive, out);
    std::string text = "# ovpatch diff " + oldDir + " " + newDir + "\n";
    for (const auto& [key, value] : settings)
        text += key + " = " + value + "\n";
    const TempFolder temp(FolderOf(settingsFile));
    std::ofstream(temp.path() / "settings", std::ios::binary) << text;
    MoveInto(temp.path() / "settings", settingsFile);
    out << "archive:  " << archive << "\nsettings: " << settingsFile << "\n";
    return kOk;
}

}  // namespace

int DiffCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream&) {
    std::vector<std::string> folders;
    std::string archive, settings;
    Args walk(args);
    while (walk.Next()) {
        if (!walk.IsOption())
            folders.push_back(walk.Operand());
        else if (walk.Name() == "archive")
            archive = walk.Value();
        else if (walk.Name() == "settings")
            settings = walk.Value();
        else
            walk.Unknown();
    }
    if (folders.size() != 2 || archive.empty() || settings.empty())
        throw Failure{kUsage, "diff takes OLD NEW --archive FILE --settings FILE"};
    return Diff(folders[0], folders[1], archive, settings, out);
}

}  // namespace ovpatch
