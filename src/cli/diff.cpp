// ovpatch diff: the archive and the settings of a patch that takes an installation from one release to
// the next.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include "cli/common.h"
#include "cli/delta.h"
#include "cli/system.h"
#include "container/xml_node.h"
#include "install/delta.h"
#include "maker/descriptor_builder.h"
#include "patcher/apply.h"

namespace ovpatch {
namespace {

namespace fs = std::filesystem;

// The patcher writes the record itself, and each installation's record carries its own language.
std::wstring VersionFileKey() {
    return FoldCase(std::wstring(mApplyPatch::kVersionFile).substr(1));
}

std::string CountText(const char* what, const DiffCount& c) {
    char line[96];
    std::snprintf(line, sizeof line, "%-10s%6zu file%s %14ju bytes\n", what, c.files, c.files == 1 ? " " : "s",
                  c.bytes);
    return line;
}

// Suite versions compared part by part, numbers as numbers ("5.10" is newer than "5.9"), other parts as
// text; a missing part is the smallest.
int CompareVersions(const std::string& a, const std::string& b) {
    std::istringstream x(a), y(b);
    std::string p, q;
    for (;;) {
        const bool more = static_cast<bool>(std::getline(x, p, '.')),
                   moreToo = static_cast<bool>(std::getline(y, q, '.'));
        if (!more || !moreToo)
            return more ? 1 : moreToo ? -1 : 0;
        const auto digits = [](const std::string& t) {
            return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
        };
        if (digits(p) && digits(q)) {
            p.erase(0, std::min(p.find_first_not_of('0'), p.size() - 1));
            q.erase(0, std::min(q.find_first_not_of('0'), q.size() - 1));
            if (p.size() != q.size())
                return p.size() < q.size() ? -1 : 1;
        }
        if (p != q)
            return p < q ? -1 : 1;
    }
}

// The suite version of a release as the maker window reads it from its version.txt. `lf` tells whether the
// file's lines end in LF alone, which the maker does not take as line ends.
std::optional<std::string> SuiteVersionOf(const Tree& tree, bool* lf = nullptr) {
    const auto txt = tree.find(FoldCase(L"version.txt"));
    if (txt == tree.end() || txt->second.folder)
        return std::nullopt;
    const std::wstring text = DecodeText(ReadWhole(txt->second.path, "version.txt"));
    if (lf)
        *lf = text.find(L'\n') != std::wstring::npos && text.find(L"\r\n") == std::wstring::npos;
    if (auto version = frmMaker::SuiteVersionFromVersionTxt(text))
        return Utf8(*version);
    return std::nullopt;
}

// Whether a folder of `tree` holds nothing at all.
bool IsEmptyFolder(const Tree& tree, const std::wstring& key) {
    const std::wstring inside = key + L"\\";
    const auto next = tree.lower_bound(inside);
    return next == tree.end() || next->first.compare(0, inside.size(), inside) != 0;
}

// The last part of a "\"-separated path.
std::wstring LastName(const std::wstring& relative) {
    return relative.substr(relative.rfind(L'\\') + 1);
}

// As 7zz names an entry: "/"-separated.
std::string ArchivePath(const std::wstring& relative) {
    std::string path = Utf8(relative);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Copies the entries from `folder` into `to`, with the time of each one that is later than `latest` set
// back to it. A link is refused here: it would be copied as what it points at.
void CopyClamped(const std::string& folder,
                 const std::vector<ArchiveEntry>& entries,
                 const fs::path& to,
                 int64_t latest) {
    std::error_code ec;
    const auto fail = [](const std::string& what, const std::error_code& e) {
        throw Failure{kWriteFailed, "cannot copy " + what + " for packing: " + e.message()};
    };
    for (const ArchiveEntry& e : entries) {
        ThrowIfStopped();
        const fs::path source = fs::path(folder) / e.path, copy = to / e.path;
        fs::path at = folder;
        for (const fs::path& part : fs::path(e.path))
            if (fs::is_symlink(fs::symlink_status(at /= part, ec)))
                throw Failure{kRefused, e.path +
                                            " lies under a link or is one since the releases were compared: "
                                            "run again"};
        fs::create_directories(e.folder ? copy : copy.parent_path(), ec);
        if (!ec && !e.folder)
            fs::copy_file(source, copy, ec);
        if (ec)
            fail(e.path, ec);
        struct stat st {};
        if (lstat(source.c_str(), &st) != 0)
            fail(e.path, std::error_code(errno, std::generic_category()));
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        for (struct timespec& t : times)
            if (t.tv_sec >= latest)
                t = {static_cast<time_t>(latest), 0};
        if (utimensat(AT_FDCWD, copy.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            fail(e.path, std::error_code(errno, std::generic_category()));
    }
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

namespace {

struct Changed {
    const TreeFile* old;
    const TreeFile* now;
    size_t change;  // its line in the report
};

// The packed size of each file of `entries` under `folder`, each compressed on its own as 7zz packs it.
std::map<std::string, int64_t> PackedSizes(const std::string& folder,
                                           const std::vector<ArchiveEntry>& entries,
                                           const fs::path& work) {
    std::map<std::string, int64_t> sizes;
    if (entries.empty())
        return sizes;
    std::string names;
    for (const ArchiveEntry& e : entries)
        names += e.path + "\n";
    const fs::path list = work.string() + ".txt", archive = work.string() + ".7z";
    std::ofstream(list, std::ios::binary) << names;
    SevenZip({"a", "-t7z", "-ms=off", "-snl", "-bd", "-bso0", "-bsp0", "-scsUTF-8", fs::absolute(archive).string(),
              "@" + fs::absolute(list).string()},
             folder);
    if (const auto listed = ListArchive(archive.string()))
        for (const ArchiveEntry& e : *listed)
            sizes[e.path] = e.packed;
    std::error_code ec;
    fs::remove(archive, ec);
    return sizes;
}

// Makes the delta of every changed file large enough for one, under `folder` where the patcher looks for it,
// checks that it rebuilds the file, and lets it travel in the file's place when it packs clearly smaller (or
// beside it, with `keepWhole`). Returns the deltas that travel; `shipped` loses the files they replace.
std::vector<ArchiveEntry> MakeDeltas(const std::vector<Changed>& changed,
                                     const std::string& newDir,
                                     const fs::path& folder,
                                     bool keepWhole,
                                     DiffReport& report,
                                     std::vector<ArchiveEntry>& shipped,
                                     std::ostream* progress,
                                     const char* verb) {
    std::vector<ArchiveEntry> wholes, made;
    std::vector<const Changed*> candidates;
    const std::string prefix = ArchivePath(mDelta::kArchiveFolder);
    Progress told(progress, verb, "deltas made", changed.size());
    size_t done = 0;
    for (const Changed& c : changed) {
        ThrowIfStopped();
        told.Step(++done);
        DiffChange& line = report.changes[c.change];
        line.travels = "whole";
        if (c.now->size < kDeltaMinimumSize) {
            line.why = "whole: smaller than " + Grouped(kDeltaMinimumSize) + " bytes";
            continue;
        }
        const std::string oldBytes = ReadWhole(c.old->path, "OLD's file"),
                          newBytes = ReadWhole(c.now->path, "NEW's file");
        const std::string delta = MakeDelta(oldBytes, newBytes);
        std::string rebuilt;
        if (mDelta::RebuildBytes(oldBytes, delta, rebuilt) != mDelta::Result::Done || rebuilt != newBytes)
            throw Failure{kRefused,
                          "the delta made for " + line.path + " does not rebuild it: make the patch without --delta"};
        const std::string path = ArchivePath(c.now->relative);
        const fs::path file = folder / (prefix + path);
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        std::ofstream(file, std::ios::binary) << delta;
        // The delta carries its file's time, so that the archive is the same from the same releases.
        struct stat st {};
        if (ec || fs::file_size(file, ec) != delta.size() || lstat(c.now->path.c_str(), &st) != 0)
            throw Failure{kWriteFailed, "cannot write the delta of " + line.path + " into " + folder.string()};
        const struct timespec times[2] = {st.st_mtim, st.st_mtim};
        utimensat(AT_FDCWD, file.c_str(), times, 0);
        wholes.push_back({path, static_cast<int64_t>(c.now->size)});
        made.push_back({prefix + path, static_cast<int64_t>(delta.size())});
        candidates.push_back(&c);
    }
    const std::map<std::string, int64_t> whole = PackedSizes(newDir, wholes, folder.parent_path() / "whole"),
                                         packed = PackedSizes(folder.string(), made, folder.parent_path() / "delta");
    std::vector<ArchiveEntry> travelling;
    std::set<std::string> replaced;
    for (size_t i = 0; i < candidates.size(); ++i) {
        DiffChange& line = report.changes[candidates[i]->change];
        const auto w = whole.find(wholes[i].path), d = packed.find(made[i].path);
        if (w == whole.end() || d == packed.end() || w->second < 0 || d->second < 0)
            throw Failure{kRefused, "7zz did not say how small " + line.path + " and its delta pack"};
        line.packedWhole = static_cast<uintmax_t>(w->second);
        line.packedDelta = static_cast<uintmax_t>(d->second);
        if (!DeltaPays(candidates[i]->now->size, line.packedWhole, line.packedDelta)) {
            line.why = "whole: " + Grouped(line.packedWhole) + " bytes packed, its delta " + Grouped(line.packedDelta);
            continue;
        }
        line.travels = keepWhole ? "both" : "delta";
        line.why = "delta: " + Grouped(line.packedDelta) + " bytes packed instead of " + Grouped(line.packedWhole) +
                   (keepWhole ? ", the file whole beside it" : "");
        travelling.push_back(made[i]);
        if (!keepWhole)
            replaced.insert(wholes[i].path);
    }
    shipped.erase(std::remove_if(shipped.begin(), shipped.end(),
                                 [&](const ArchiveEntry& e) { return !e.folder && replaced.count(e.path); }),
                  shipped.end());
    return travelling;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DiffReleases(const std::string& oldDir,
                                                              const std::string& newDir,
                                                              const std::string& archive,
                                                              bool allowDowngrade,
                                                              DiffReport& report,
                                                              std::ostream* progress,
                                                              const char* verb,
                                                              const DeltaOptions& deltas) {
    const Tree before = ReadTree(oldDir, "OLD");
    const Tree after = ReadTree(newDir, "NEW");
    const std::wstring record = VersionFileKey();

    // A file cannot take a folder's place nor a folder a file's: the patcher extracts before it deletes.
    for (const auto& [key, entry] : after) {
        const auto old = before.find(key);
        if (old == before.end() || old->second.folder == entry.folder)
            continue;
        if (!entry.folder)
            throw Failure{kRefused, "NEW's file " + Utf8(entry.relative) +
                                        " is a folder in OLD: the patcher cannot put a file in a folder's place"};
        throw Failure{kRefused, "OLD's file " + Utf8(old->second.relative) +
                                    " is a folder in NEW: the patcher cannot put a folder in a file's place"};
    }

    std::vector<ArchiveEntry> shipped;
    std::vector<Changed> changedFiles;
    const size_t files = static_cast<size_t>(
        std::count_if(after.begin(), after.end(), [](const auto& item) { return !item.second.folder; }));
    Progress told(progress, verb, "files compared", files);
    size_t compared = 0;
    for (const auto& [key, file] : after) {
        ThrowIfStopped();
        if (!file.folder)
            told.Step(++compared);
        if (key == record)
            continue;
        const auto old = before.find(key);
        if (file.folder) {
            // The archive brings a folder with its files; an empty one needs an entry of its own. A folder
            // that is there already keeps its name: extraction renames no folder, whatever its letter case.
            if (old == before.end() && IsEmptyFolder(after, key)) {
                ++report.foldersAdded;
                report.changes.push_back({"added", Utf8(file.relative), true});
                shipped.push_back({ArchivePath(file.relative), 0, true});
            } else if (old != before.end() && old->second.relative != file.relative) {
                report.changes.push_back(
                    {"kept", Utf8(old->second.relative), true,
                     "NEW spells it " + Utf8(file.relative) + "\\: the patcher renames no folder"});
            }
            continue;
        }
        // 7zz trims the lines of its list of names: it would look for the name without its blank.
        if (!file.relative.empty() && file.relative[0] == L' ')
            throw Failure{kRefused, "NEW " + Utf8(file.relative) +
                                        " starts with a blank, which 7zz cannot be given in a list of names: "
                                        "rename it"};
        const char* what = nullptr;
        if (old == before.end()) {
            report.added.Add(file.size);
            what = "added";
        } else if (LastName(old->second.relative) != LastName(file.relative) || old->second.size != file.size ||
                   !SameContent(old->second.path, file.path)) {
            // The swap gives a file the archive's name, so a file renamed in case only is a change.
            report.changed.Add(file.size);
            what = "changed";
        } else {
            report.unchanged.Add(file.size);
            continue;
        }
        report.changes.push_back({what, Utf8(file.relative)});
        if (old != before.end())
            changedFiles.push_back({&old->second, &file, report.changes.size() - 1});
        shipped.push_back({ArchivePath(file.relative), static_cast<int64_t>(file.size), false});
    }
    std::vector<std::pair<std::string, std::string>> settings;
    for (const auto& [key, file] : before) {
        if (key == record || after.count(key))
            continue;
        if (file.folder) {
            // The patcher deletes files only: a folder listed for deletion would stay.
            ++report.foldersLeft;
            report.changes.push_back(
                {"left", Utf8(file.relative), true, "a folder: the patcher deletes files, not folders"});
            continue;
        }
        report.removed.Add(file.size);
        report.changes.push_back({"removed", Utf8(file.relative)});
        settings.push_back({"delete-after", "%ORV%\\" + Utf8(file.relative)});
    }
    report.compared = true;
    if (shipped.empty())
        throw Failure{kNothingToShip, report.removed.files == 0
                                          ? "nothing changed from OLD to NEW: no patch to make"
                                          : "NEW only removes files: a patch carries at least one file"};

    // The suite version as the maker window reads it from the installation's version.txt, the minimum
    // patch as the patcher reads the installation's record.
    bool lf = false;
    const std::optional<std::string> version = SuiteVersionOf(after, &lf), oldVersion = SuiteVersionOf(before);
    if (version && oldVersion && CompareVersions(*version, *oldVersion) < 0 && !allowDowngrade)
        throw Failure{kRefused, "NEW's suite version " + *version + " is older than OLD's " + *oldVersion +
                                    ": the patch would take installations back (--allow-downgrade makes it)"};
    if (version)
        settings.insert(settings.begin(), {"suite-version", *version});
    else
        report.notes.push_back(
            lf ? "no suite version: NEW's version.txt has LF line ends, and the maker reads only "
                 "CR LF ones; give build --suite-version"
               : "no suite version: NEW's version.txt has no third line; give build --suite-version");
    if (const auto ver = before.find(record); ver != before.end()) {
        const cXmlNode node(DecodeText(ReadWhole(ver->second.path, "OLD's version.ver")));
        const std::wstring patch = node.ChildValue(L"Patch");
        if (node.Name() == L"OrvanaVersion" && !patch.empty() && !IsPatchIdentifier(patch))
            throw Failure{kRefused, "the minimum patch \"" + Utf8(patch) +
                                        "\", from OLD's OrvanaTools\\version.ver, is no patch identifier (14 digits)"};
        if (node.Name() == L"OrvanaVersion" && !patch.empty())
            settings.insert(settings.begin() + (settings.empty() || settings.front().first != "suite-version" ? 0 : 1),
                            {"min-patch", Utf8(patch)});
    }

    // Packed under a temporary name beside the archive: 7zz adds to an archive that exists.
    const TempFolder temp(FolderOf(archive));
    const fs::path packed = temp.path() / "data.7z";
    std::vector<PackSource> sources = {{newDir, {}}};
    if (deltas.make)
        sources.push_back(
            {(temp.path() / "deltas").string(), MakeDeltas(changedFiles, newDir, temp.path() / "deltas",
                                                           deltas.keepWhole, report, shipped, progress, verb)});
    sources.front().entries = std::move(shipped);
    PackChecked(sources, packed.string(), SourceDateEpoch());
    ThrowIfStopped();
    MoveInto(packed, archive);
    return settings;
}

void PackChecked(const std::string& folder,
                 const std::vector<ArchiveEntry>& entries,
                 const std::string& archive,
                 std::optional<int64_t> latest) {
    PackChecked({{folder, entries}}, archive, latest);
}

void PackChecked(const std::vector<PackSource>& sources, const std::string& archive, std::optional<int64_t> latest) {
    const TempFolder temp(FolderOf(archive));
    for (size_t i = 0; i < sources.size(); ++i) {
        const PackSource& source = sources[i];
        if (source.entries.empty())
            continue;
        std::string names;
        for (const ArchiveEntry& e : source.entries)
            names += e.path + "\n";
        // A reproducible build packs copies whose times are no later than the one given; the releases' own
        // files are never touched.
        std::string from = source.folder;
        if (latest) {
            from = (temp.path() / ("files" + std::to_string(i))).string();
            CopyClamped(source.folder, source.entries, from, *latest);
        }
        const fs::path list = temp.path() / ("files" + std::to_string(i) + ".txt");
        std::ofstream(list, std::ios::binary) << names;
        // Links are stored as links, never followed: the listing then shows one that appeared since the
        // trees were read, where following it would have packed whatever it points at.
        try {
            // LZMA2 cuts its stream into blocks with more than one thread and not with one: the count is fixed
            // for a reproducible build, so that any machine packs the same bytes.
            std::vector<std::string> args = {"a", "-t7z", "-snl", "-bd", "-bso0", "-bsp0", "-scsUTF-8"};
            if (latest)
                args.push_back("-mmt=2");
            args.insert(args.end(), {fs::absolute(archive).string(), "@" + fs::absolute(list).string()});
            SevenZip(args, from);
        } catch (const Failure& f) {
            // 7zz warns of a file it could not open: one that went or moved since the releases were compared,
            // or that a link now hides.
            if (f.code == kUnreadable && f.message.find("WARNING") != std::string::npos)
                throw Failure{kRefused, f.message + ": NEW changed since the releases were compared, run again"};
            throw;
        }
    }
    std::map<std::string, const ArchiveEntry*> expected;
    for (const PackSource& source : sources)
        for (const ArchiveEntry& e : source.entries)
            expected[e.path] = &e;
    const auto listed = ListArchive(archive);
    if (!listed)
        throw Failure{kToolMissing, std::string(kNoSevenZip) + ": install it (apt-get install 7zip)"};
    size_t found = 0;
    for (const ArchiveEntry& e : *listed) {
        const auto want = expected.find(e.path);
        const auto refuse = [&](const std::string& why) {
            throw Failure{kRefused, e.path + " " + why + " since the releases were compared: run again"};
        };
        if (e.link)
            refuse("became a link");
        if (want == expected.end()) {
            // 7zz may list the folders above what it packed.
            if (e.folder)
                continue;
            refuse("appeared");
        }
        if (want->second->folder != e.folder || (!e.folder && want->second->size != e.size))
            refuse("changed");
        ++found;
    }
    if (found != expected.size())
        throw Failure{kRefused, "the archive lacks files that were compared: they changed since, run again"};
}

std::string DiffText(const DiffReport& report) {
    std::string text;
    for (const DiffChange& c : report.changes) {
        char what[16];
        std::snprintf(what, sizeof what, "%-10s", c.change.c_str());
        text += std::string("  ") + what + c.path + (c.folder ? "\\" : "") +
                (c.why.empty() ? "" : "  (" + c.why + ")") + "\n";
    }
    if (!report.compared)
        return text;
    text += CountText("added", report.added) + CountText("changed", report.changed) +
            CountText("removed", report.removed) + CountText("unchanged", report.unchanged);
    if (report.foldersAdded || report.foldersLeft)
        text += "folders   " + std::to_string(report.foldersAdded) + " empty added, " +
                std::to_string(report.foldersLeft) + " left in place\n";
    for (const std::string& note : report.notes)
        text += note + "\n";
    return text;
}

std::string DiffJson(const DiffReport& report, const std::string* archive, const std::string* settings) {
    std::string json = "{\"schema\": 1,\n \"changes\": [";
    for (size_t i = 0; i < report.changes.size(); ++i) {
        const DiffChange& c = report.changes[i];
        json += std::string(i ? ",\n   " : "\n   ") + "{\"path\": " + Json(c.path) + ", \"change\": " + Json(c.change) +
                ", \"folder\": " + (c.folder ? "true" : "false") + (c.why.empty() ? "" : ", \"why\": " + Json(c.why)) +
                (c.travels.empty() ? "" : ", \"travels\": " + Json(c.travels)) +
                (c.packedWhole == 0 ? ""
                                    : ", \"packedWhole\": " + std::to_string(c.packedWhole) +
                                          ", \"packedDelta\": " + std::to_string(c.packedDelta)) +
                "}";
    }
    const auto count = [](const DiffCount& c) {
        return "{\"files\": " + std::to_string(c.files) + ", \"bytes\": " + std::to_string(c.bytes) + "}";
    };
    json += "],\n \"summary\": {\"added\": " + count(report.added) + ", \"changed\": " + count(report.changed) +
            ", \"removed\": " + count(report.removed) + ", \"unchanged\": " + count(report.unchanged) +
            ", \"folders\": {\"added\": " + std::to_string(report.foldersAdded) +
            ", \"left\": " + std::to_string(report.foldersLeft) + "}},\n \"notes\": [";
    for (size_t i = 0; i < report.notes.size(); ++i)
        json += (i ? ", " : "") + Json(report.notes[i]);
    return json + "],\n \"archive\": " + (archive ? Json(*archive) : "null") +
           ", \"settings\": " + (settings ? Json(*settings) : "null") + "}\n";
}

namespace {

struct DiffOptions {
    bool force = false, json = false, allowDowngrade = false, quiet = false;
    DeltaOptions deltas;
};

int Diff(const std::string& oldDir,
         const std::string& newDir,
         const std::string& archive,
         const std::string& settingsFile,
         const DiffOptions& options,
         std::ostream& out,
         std::ostream& err) {
    std::error_code ec;
    for (const std::string* file : {&archive, &settingsFile}) {
        if (fs::is_directory(*file, ec) || !fs::is_directory(FolderOf(*file), ec))
            throw Failure{kWriteFailed, "cannot write " + *file + ": not a file in an existing folder"};
        if (fs::exists(fs::symlink_status(*file, ec)) && !options.force)
            throw Failure{kRefused, "nothing written: " + *file + " already exists (--force replaces it)"};
    }
    const StopGuard stop;
    DiffReport report;
    std::vector<std::pair<std::string, std::string>> settings;
    try {
        settings = DiffReleases(oldDir, newDir, archive, options.allowDowngrade, report, ProgressTo(err, options.quiet),
                                "diff", options.deltas);
    } catch (const Failure&) {
        if (report.compared)
            out << (options.json ? DiffJson(report, nullptr, nullptr) : DiffText(report));
        throw;
    }
    std::string text = "# ovpatch diff " + oldDir + " " + newDir + "\n";
    for (const auto& [key, value] : settings)
        text += key + " = " + value + "\n";
    const TempFolder temp(FolderOf(settingsFile));
    std::ofstream(temp.path() / "settings", std::ios::binary) << text;
    ThrowIfStopped();
    MoveInto(temp.path() / "settings", settingsFile);
    if (options.json)
        out << DiffJson(report, &archive, &settingsFile);
    else
        out << DiffText(report) << "archive:  " << archive << "\nsettings: " << settingsFile << "\n";
    return kOk;
}

}  // namespace

int DiffCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> folders;
    std::string archive, settings;
    DiffOptions options;
    Args walk(args);
    while (walk.Next()) {
        if (!walk.IsOption())
            folders.push_back(walk.Operand());
        else if (walk.Name() == "archive")
            archive = walk.Value();
        else if (walk.Name() == "settings")
            settings = walk.Value();
        else if (walk.Name() == "force" && !walk.HasInlineValue())
            options.force = true;
        else if (walk.Name() == "json" && !walk.HasInlineValue())
            options.json = true;
        else if (walk.Name() == "allow-downgrade" && !walk.HasInlineValue())
            options.allowDowngrade = true;
        else if (walk.Name() == "quiet" && !walk.HasInlineValue())
            options.quiet = true;
        else if (walk.Name() == "delta" && !walk.HasInlineValue())
            options.deltas.make = true;
        else if (walk.Name() == "keep-whole" && !walk.HasInlineValue())
            options.deltas.keepWhole = true;
        else
            walk.Unknown();
    }
    if (options.deltas.keepWhole && !options.deltas.make)
        throw Failure{kUsage, "--keep-whole goes with --delta"};
    if (folders.size() != 2 || archive.empty() || settings.empty())
        throw Failure{kUsage, "diff takes OLD NEW --archive FILE --settings FILE"};
    return Diff(folders[0], folders[1], archive, settings, options, out, err);
}

}  // namespace ovpatch
