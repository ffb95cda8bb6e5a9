#include "install/install_plan.h"

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <string_view>

#include "support/encoding.h"
#include "support/path.h"
#include "support/trace.h"

namespace mInstall {
namespace {

constexpr wchar_t kHeader[] = L"OVPatcher journal 2";
constexpr wchar_t kTab = L'\t';

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring Line(std::initializer_list<std::wstring> fields) {
    std::wstring line;
    for (const std::wstring& field : fields) {
        if (!line.empty())
            line += kTab;
        line += field;
    }
    return line + L"\r\n";
}

// A path as the journal holds it: relative to the root when it lies under it, else as it stands (and then
// recovery does not run the journal).
std::wstring Stored(const std::wstring& path, const std::wstring& root) {
    const std::wstring base = root + L"\\";
    return IsInside(path, base) ? path.substr(base.size()) : path;
}

// Whether `text` holds `name` from `at` on, letter case ignored for ASCII.
bool HasAt(const std::wstring& text, size_t at, std::wstring_view name) {
    if (at > text.size() || text.size() - at < name.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (AsciiLower(text[at + i]) != AsciiLower(name[i]))
            return false;
    }
    return true;
}

bool SameName(const std::wstring& a, std::wstring_view b) {
    return a.size() == b.size() && HasAt(a, 0, b);
}

// Whether Windows takes the name in `text` from `start` to `end` as it stands: not a device it finds in every
// folder ("nul", "COM1.txt"), not one it trims (a trailing dot or blank, "." and ".." with them), no stream,
// pattern or control character.
bool PlainName(const std::wstring& text, size_t start, size_t end) {
    if (end == start || text[end - 1] == L'.' || text[end - 1] == L' ')
        return false;
    // The name up to its first dot or blank, between bars, lower case and "#" for a digit.
    wchar_t base[10] = L"|";
    size_t length = 1;
    bool cut = false;
    for (size_t i = start; i < end; ++i) {
        const wchar_t c = text[i];
        if (c < 0x20 || std::wcschr(L":*?\"<>|", c))
            return false;
        cut = cut || c == L'.' || c == L' ';
        if (!cut && length < 9)
            base[length] = c >= L'0' && c <= L'9' ? L'#' : AsciiLower(c);
        length += !cut;
    }
    if (length > 8)
        return true;  // longer than any device's name
    base[length] = L'|';
    return !std::wcsstr(L"|con|prn|aux|nul|com#|lpt#|conin$|conout$|", base);
}

std::wstring Number(uint64_t value) {
    return mStringTools::DecimalText(static_cast<int64_t>(value));
}

bool ReadNumber(const std::wstring& text, uint64_t& value) {
    value = 0;
    if (text.empty() || text.size() > 19)
        return false;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return true;
}

std::wstring EntryLine(const Entry& e, const std::wstring& root) {
    const std::wstring staged = Stored(e.staged, root);
    const std::wstring target = Stored(e.target, root);
    switch (e.kind) {
        case EntryKind::Replace:
            return Line({L"replace", staged, target, Stored(e.backup, root), Number(e.size), Number(e.written)});
        case EntryKind::Add:
            return Line({L"add", staged, target, Number(e.size), Number(e.written)});
        case EntryKind::Remove:
            return Line({L"remove", target, Stored(e.backup, root)});
    }
    return std::wstring();
}

// One line of the journal into the plan; false for a line that has no place there. Every path goes through
// PathInside, and the record, its new copy and the close flag must stand where the apply puts them.
bool ReadLine(const std::vector<std::wstring>& f, const std::wstring& root, Plan& plan, bool& outside) {
    const std::wstring& kind = f[0];
    // Every field after the kind as a path inside the root, the apply's name and the numbers too: they pass
    // as plain names.
    std::vector<std::wstring> paths(1);
    for (size_t i = 1; i < f.size(); ++i) {
        paths.push_back(PathInside(f[i], root));
        outside = outside || paths.back().empty();
    }
    const auto path = [&](size_t i) -> const std::wstring& { return paths[i]; };
    if (kind == L"committed" && f.size() == 1 && plan.complete && !plan.committed) {
        plan.committed = true;
        return true;
    }
    if (kind == L"end" && f.size() == 1 && !plan.complete) {
        plan.complete = true;
        return true;
    }
    if (plan.committed)
        return false;
    if (plan.complete) {
        if (kind == L"remove" && f.size() == 3)
            plan.entries.push_back({EntryKind::Remove, L"", path(1), path(2)});
        else if (kind == L"record" && f.size() == 3 && plan.record.empty() && SameName(f[1], kRecordPlace) &&
                 SameName(path(2), ApplyFolder(root, plan.applyId) + L"record"))
            plan.record = path(1), plan.recordSibling = path(2);
        else
            return false;
        return true;
    }
    Entry e;
    // The apply's name is part of paths: it passed as a plain path inside the root above.
    if (kind == L"apply" && f.size() == 2 && plan.applyId.empty())
        plan.applyId = f[1];
    // Beside the menu, two folders below the root.
    else if (kind == L"flag" && f.size() == 2 && std::count(f[1].begin(), f[1].end(), L'\\') == 3 &&
             HasAt(f[1], f[1].size() - 17, L"\\data\\patch_close"))
        plan.closeFlag = path(1);
    else if (kind == L"folder" && f.size() == 2)
        plan.newFolders.push_back(path(1));
    // An earlier version wrote no size and time for a replaced file: none (0) then.
    else if (kind == L"replace" &&
             (f.size() == 4 || (f.size() == 6 && ReadNumber(f[4], e.size) && ReadNumber(f[5], e.written))))
        plan.entries.push_back({EntryKind::Replace, path(1), path(2), path(3), e.size, e.written});
    else if (kind == L"add" && f.size() == 5 && ReadNumber(f[3], e.size) && ReadNumber(f[4], e.written))
        plan.entries.push_back({EntryKind::Add, path(1), path(2), L"", e.size, e.written});
    else
        return false;
    return true;
}

}  // namespace

std::wstring InstallWorkFolder(const std::wstring& installRoot) {
    return installRoot + kInstallWorkFolder;
}
std::wstring StagingFolder(const std::wstring& installRoot) {
    return InstallWorkFolder(installRoot) + L"new\\";
}
std::wstring JournalPath(const std::wstring& installRoot) {
    return InstallWorkFolder(installRoot) + L"journal.txt";
}
std::wstring ApplyFolder(const std::wstring& installRoot, const std::wstring& applyId) {
    return InstallWorkFolder(installRoot) + L"apply " + applyId + L"\\";
}
std::wstring BesideTarget(const std::wstring& target, const std::wstring& applyId, const wchar_t* suffix) {
    return target + L"." + applyId + suffix;
}

std::string JournalText(const Plan& plan, const std::wstring& root) {
    std::wstring text = Line({kHeader});
    if (!plan.applyId.empty())
        text += Line({L"apply", plan.applyId});
    // The flag first: even a plan torn half way still says which flag the dead apply left behind.
    if (!plan.closeFlag.empty())
        text += Line({L"flag", Stored(plan.closeFlag, root)});
    for (const std::wstring& folder : plan.newFolders)
        text += Line({L"folder", Stored(folder, root)});
    for (const Entry& e : plan.entries)
        text += EntryLine(e, root);
    if (plan.complete)
        text += Line({L"end"});
    return mStringTools::TextToUtf16Bytes(text);
}

std::string JournalLines(const std::vector<Entry>& removals, const std::wstring& root) {
    std::wstring text;
    for (const Entry& e : removals)
        text += EntryLine(e, root);
    return mStringTools::TextToUtf16Bytes(text);
}

std::string RecordLine(const Plan& plan, const std::wstring& root) {
    return mStringTools::TextToUtf16Bytes(
        Line({L"record", Stored(plan.record, root), Stored(plan.recordSibling, root)}));
}

std::string CommittedLine() {
    return mStringTools::TextToUtf16Bytes(Line({L"committed"}));
}

bool ParseJournal(const std::string& bytes, const std::wstring& root, Plan& plan, std::wstring& why) {
    plan = Plan();
    const std::wstring text = mStringTools::Utf16BytesToText(bytes.substr(0, bytes.size() & ~size_t{1}));
    why.clear();
    size_t pos = 0;
    size_t number = 1;
    bool header = false;
    for (;;) {
        const size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos)
            break;  // a torn last line
        const std::wstring line = text.substr(pos, end - pos);
        pos = end + 2;
        if (!header) {
            if (line != kHeader)
                return false;
            header = true;
            continue;
        }
        // Only a line torn by a cut (no CR LF) may be dropped; a whole one out of place means the journal
        // was damaged or written by somebody else, and nothing in it can be trusted to be all.
        ++number;
        bool outside = false;
        if (!ReadLine(mStringTools::SplitAt(line, kTab), root, plan, outside) || outside) {
            why = L"line " + Number(number) + (outside ? L": a path outside the installation" : L": damaged");
            return true;
        }
    }
    return header;
}

std::wstring PathInside(const std::wstring& stored, const std::wstring& root) {
    for (size_t start = 0, end;; start = end + 1) {
        end = std::min(stored.find(L'\\', start), stored.find(L'/', start));
        if (!PlainName(stored, start, std::min(end, stored.size())))
            return std::wstring();
        if (end == std::wstring::npos)
            break;
    }
    std::wstring path = root + L'\\' + stored;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

Outcome OutcomeOf(const Plan& plan, bool recordExists, bool siblingExists) {
    // On FAT the committed line can reach the disk before the record's rename: while the new record is still
    // in the apply's folder, the move is finished.
    if (plan.committed)
        return siblingExists && !plan.record.empty() ? Outcome::FinishRecord : Outcome::Done;
    // The new record is journaled only once it is written whole, and replacing the record is the moment
    // the apply is done; the line after it may not have been written.
    if (!plan.complete || plan.record.empty() || (recordExists && siblingExists))
        return Outcome::Undo;
    if (recordExists)
        return Outcome::Done;
    return siblingExists ? Outcome::FinishRecord : Outcome::Unknown;
}

Undo UndoFor(const Entry& entry, bool targetExists, bool backupExists, bool placed) {
    switch (entry.kind) {
        case EntryKind::Add:
            // Something else at an added file's place (the user's, made after a crash) stays.
            return targetExists && placed ? Undo::RemoveNew : Undo::Nothing;
        case EntryKind::Replace:
            // A new file the user changed since (the suite ran on the half-swapped files) is the user's now.
            if (backupExists)
                return !targetExists ? Undo::PutBack : placed ? Undo::RemoveThenBack : Undo::KeepBoth;
            return targetExists ? Undo::Nothing : Undo::Mismatch;
        case EntryKind::Remove:
            // The apply left nothing where a leftover was: a file there now is the user's.
            if (backupExists)
                return targetExists ? Undo::KeepBoth : Undo::PutBack;
            return Undo::Nothing;  // a leftover that was never there, or not yet moved
    }
    return Undo::Mismatch;
}

bool SameWriteTime(uint64_t recorded, uint64_t found, bool fat) {
    if (!fat)
        return recorded == found;
    // Whole hours apart, up to the 26 between the farthest zones, give or take FAT's 2 seconds.
    constexpr int64_t kSecond = 10000000;
    constexpr int64_t kHour = 3600 * kSecond;
    const int64_t off = static_cast<int64_t>(found - recorded);
    for (int64_t shift = -26 * kHour; shift <= 26 * kHour; shift += kHour) {
        if (off - shift <= 2 * kSecond && shift - off <= 2 * kSecond)
            return true;
    }
    return false;
}

std::wstring KeptOriginal(const std::wstring& target, int n) {
    std::wstring note = L" (before the update)";
    if (n > 1)
        note.insert(note.size() - 1, L" " + Number(n));
    const size_t name = target.rfind(L'\\') + 1;
    size_t dot = target.rfind(L'.');
    if (dot == std::wstring::npos || dot <= name)
        dot = target.size();  // no extension: ".profile" is all name
    return std::wstring(target).insert(dot, note);
}

bool MatchesPlan(const Plan& plan, const std::vector<Presence>& presence) {
    if (presence.size() != plan.entries.size())
        return false;
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        const Presence& p = presence[i];
        if (UndoFor(plan.entries[i], p.target, p.backup, p.placed) == Undo::Mismatch)
            return false;
    }
    return true;
}

std::wstring BackupPathFor(const std::wstring& target,
                           const std::wstring& relative,
                           const std::wstring& applyFolder,
                           const std::wstring& applyId,
                           bool sameVolume) {
    return sameVolume ? applyFolder + L"old\\" + relative : BesideTarget(target, applyId, kOldSuffix);
}

std::vector<std::wstring> MissingFolders(const std::wstring& folder,
                                         const std::wstring& root,
                                         const std::function<bool(const std::wstring&)>& folderExists) {
    std::vector<std::wstring> missing;
    std::wstring current = folder;
    while (current.size() > root.size() && !folderExists(current)) {
        missing.push_back(current);
        std::wstring parent = mGlobal::FilePathOnly(current);
        if (parent.size() >= current.size())
            break;
        current = std::move(parent);
    }
    std::reverse(missing.begin(), missing.end());
    return missing;
}

std::wstring PathUnderExtractFolder(const std::wstring& installRoot,
                                    const std::wstring& extractPath,
                                    const std::wstring& relativePath) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    std::wstring path = installRoot + L"\\" + extractPath;
    if (!extractPath.empty() && !separator(extractPath.back()) &&
        (relativePath.empty() || !separator(relativePath.front())))
        path += L"\\";
    return path + relativePath;
}

bool IsInside(const std::wstring& path, const std::wstring& folder) {
    if (path.size() <= folder.size())
        return false;
    for (size_t i = 0; i < folder.size(); ++i) {
        if (AsciiLower(path[i]) != AsciiLower(folder[i]))
            return false;
    }
    return true;
}

bool PlanSwap(Disk& disk,
              const std::wstring& root,
              const std::wstring& extractPath,
              const std::vector<Listed>& staged,
              Plan& plan,
              std::vector<WholeFolder>& wholeFolders,
              std::wstring& blocker) {
    const std::wstring work = InstallWorkFolder(root);
    const std::wstring staging = StagingFolder(root);
    const std::wstring applyFolder = ApplyFolder(root, plan.applyId);
    // Asked once per folder, not per file: an update brings thousands of files into a few folders, and
    // the staging folder is listed folder by folder. Plain lists: a tree container costs the program bytes.
    const uint32_t rootVolume = disk.Volume(staging);
    std::wstring lastFolder;
    bool lastSameVolume = true;
    std::vector<std::wstring> existing;
    const auto folderExists = [&](const std::wstring& folder) {
        if (std::find(existing.begin(), existing.end(), folder) != existing.end())
            return true;
        if (disk.What(folder) != Disk::Kind::Folder)
            return false;
        existing.push_back(folder);
        return true;
    };
    const auto newFolders = [&](const std::wstring& folder) {
        for (std::wstring& missing : MissingFolders(folder, root, folderExists)) {
            if (std::find(plan.newFolders.begin(), plan.newFolders.end(), missing) == plan.newFolders.end())
                plan.newFolders.push_back(std::move(missing));
        }
    };
    plan.entries.clear();
    plan.newFolders.clear();
    wholeFolders.clear();
    for (const Listed& item : staged) {
        if (item.relative.back() != L'\\')
            continue;
        const std::wstring target = PathUnderExtractFolder(root, extractPath, item.relative);
        const std::wstring folder = target.substr(0, target.size() - 1);
        const bool covered = std::any_of(wholeFolders.begin(), wholeFolders.end(), [&](const WholeFolder& whole) {
            return IsInside(target, whole.target + L"\\");
        });
        if (!covered && !folderExists(folder))
            wholeFolders.push_back({staging + item.relative.substr(0, item.relative.size() - 1), folder});
    }
    for (const Listed& item : staged) {
        const std::wstring target = PathUnderExtractFolder(root, extractPath, item.relative);
        blocker = target;
        // Nothing of the archive lands in the program's own folder: the record's sibling lives there.
        if (IsInside(disk.Resolved(target) + L"\\", work))
            return false;
        if (item.relative.back() == L'\\') {
            newFolders(target.substr(0, target.size() - 1));  // the archive's folders as staged, empty ones too
            continue;
        }
        Entry e;
        e.staged = staging + item.relative;
        e.target = target;
        e.size = item.size;
        e.written = item.written;
        const Disk::Kind kind = disk.What(e.target);
        if (kind == Disk::Kind::Folder)
            return false;  // a file cannot take a folder's place; the archiver refused this too
        if (kind == Disk::Kind::File) {
            e.kind = EntryKind::Replace;
            const std::wstring folder = mGlobal::FilePathOnly(e.target);
            if (folder != lastFolder) {
                lastFolder = folder;
                lastSameVolume = disk.Volume(e.target) == rootVolume;
            }
            e.backup = BackupPathFor(e.target, item.relative, applyFolder, plan.applyId, lastSameVolume);
            if (disk.What(e.backup) != Disk::Kind::None)
                return false;  // never a backup over something that is there
        }
        newFolders(mGlobal::FilePathOnly(e.target));
        plan.entries.push_back(std::move(e));
    }
    blocker.clear();
    plan.complete = true;
    return true;
}

bool IsPlaced(Disk& disk, const Entry& entry) {
    // A replaced file from an earlier version's journal has no size and time: taken as placed.
    if (entry.kind == EntryKind::Replace && !entry.written)
        return true;
    uint64_t size = 0;
    uint64_t written = 0;
    if (!disk.Stamp(entry.target, size, written) || size != entry.size)
        return false;
    return written == entry.written || SameWriteTime(entry.written, written, disk.FatTimes(entry.target));
}

namespace {

bool Exists(Disk& disk, const std::wstring& path) {
    return disk.What(path) != Disk::Kind::None;
}

bool MakeParent(Disk& disk, const std::wstring& path) {
    return disk.MakeFolders(mGlobal::FilePathOnly(path));
}

// The new file out of the way: back into the staging folder (a retry swaps it again), or deleted.
bool TakeOut(Disk& disk, const Entry& entry) {
    if (!entry.staged.empty() && !Exists(disk, entry.staged) && MakeParent(disk, entry.staged) &&
        disk.Move(entry.target, entry.staged, false))
        return true;
    return disk.Delete(entry.target);
}

}  // namespace

bool UndoPlan(Disk& disk,
              const Plan& plan,
              std::wstring& blocker,
              const std::wstring* root,
              std::vector<std::wstring>* kept,
              bool* lost) {
    const auto presence = [&](const Entry& e) {
        Presence p;
        p.target = Exists(disk, e.target);
        p.backup = !e.backup.empty() && Exists(disk, e.backup);
        p.placed = p.target && (e.kind == EntryKind::Remove || IsPlaced(disk, e));
        return p;
    };
    std::vector<Presence> all;
    for (const Entry& e : plan.entries)
        all.push_back(presence(e));
    if (!MatchesPlan(plan, all)) {
        for (size_t i = 0; i < plan.entries.size(); ++i) {
            if (UndoFor(plan.entries[i], all[i].target, all[i].backup, all[i].placed) == Undo::Mismatch)
                blocker = plan.entries[i].target;
        }
        DebugNote(L"Recovery: the installation's files no longer match the journal");
        if (lost)
            *lost = true;
        return false;
    }
    for (auto it = plan.entries.rbegin(); it != plan.entries.rend(); ++it) {
        const Entry& entry = *it;
        blocker = entry.target;
        if (root) {
            for (const std::wstring* path : {&entry.target, &entry.backup, &entry.staged}) {
                blocker = *path;
                if (disk.ThroughLink(*root, *path))
                    return false;
            }
            blocker = entry.target;
        }
        // Asked again: a leftover put back may be the file an earlier entry brought.
        const Presence p = presence(entry);
        const Undo undo = UndoFor(entry, p.target, p.backup, p.placed);
        if (undo == Undo::Mismatch) {
            if (lost)
                *lost = true;
            return false;
        }
        if ((undo == Undo::RemoveNew || undo == Undo::RemoveThenBack) && !TakeOut(disk, entry))
            return false;
        if ((undo == Undo::PutBack || undo == Undo::RemoveThenBack) &&
            !(MakeParent(disk, entry.target) && disk.Move(entry.backup, entry.target, false)))
            return false;
        if (undo == Undo::KeepBoth) {
            // A rename beside the user's file, never over anything.
            std::wstring aside;
            for (int n = 1; aside.empty() || Exists(disk, aside); ++n)
                aside = KeptOriginal(entry.target, n);
            if (!disk.Move(entry.backup, aside, false))
                return false;
            if (kept)
                kept->push_back(L"Kept as it was found: " + entry.target + L", before the update: " + aside);
        }
    }
    blocker.clear();
    if (!plan.applyId.empty()) {
        for (const Entry& e : plan.entries) {
            if (e.kind != EntryKind::Remove)
                disk.Delete(BesideTarget(e.target, plan.applyId, kNewSuffix));
        }
    }
    for (auto folder = plan.newFolders.rbegin(); folder != plan.newFolders.rend(); ++folder)
        disk.RemoveEmptyFolder(*folder);
    return true;
}

void DropBackups(Disk& disk, const Plan& plan, const std::wstring& work) {
    for (const Entry& e : plan.entries) {
        if (!e.backup.empty() && !IsInside(e.backup, work))
            disk.Delete(e.backup);
    }
}

bool NotABackup(const std::wstring& relative) {
    return relative == kOwnMark || relative.rfind(L"new\\", 0) == 0 || relative.rfind(L"journal.", 0) == 0;
}

std::wstring FirstFile(Disk& disk, const std::wstring& folder, bool (*skip)(const std::wstring&)) {
    std::vector<Listed> entries;
    disk.List(folder, entries);
    for (const Listed& e : entries) {
        if (e.relative.back() != L'\\' && !skip(e.relative))
            return folder + e.relative;
    }
    return std::wstring();
}

// Originals aside without a journal must always mean a journal lost, never an apply that was over; so the
// journal goes last. One that cannot go yet (a program moved aside while it ran) keeps the journal, and the
// next start tries again.
bool RemoveWork(Disk& disk, const std::wstring& work, const std::wstring& journal) {
    std::vector<Listed> listed;
    disk.List(work, listed);
    bool left = false;
    for (const Listed& item : listed)
        left |= item.relative.back() != L'\\' && !NotABackup(item.relative) && !disk.Delete(work + item.relative);
    if (left)
        return true;
    if (Exists(disk, journal) && !disk.Delete(journal))
        return false;
    disk.RemoveOwnFolder(work);
    return true;
}

Recovery Recover(Disk& disk,
                 const std::wstring& installRoot,
                 std::wstring* blocker,
                 std::wstring* refusal,
                 std::vector<std::wstring>* kept) {
    std::wstring stopped;
    const auto fail = [&](const std::wstring& path) {
        if (blocker)
            *blocker = path;
        return Recovery::Failed;
    };
    const std::wstring work = InstallWorkFolder(installRoot);
    if (!Exists(disk, work))
        return Recovery::Nothing;
    if (!disk.IsOwnFolder(work)) {
        DebugNote(L"Not the patcher's folder, left as it is: " + work);
        return fail(work);
    }
    const std::wstring journal = JournalPath(installRoot);
    Plan plan;
    std::wstring why;
    // Whether the journal is not run: for what was found wrong so far, or for a link on the way to `path`.
    // Asked again at every use: a link can appear between the check and the act.
    const auto refused = [&](const std::wstring& path) {
        if (disk.ThroughLink(installRoot, path))
            why = L"a link on the way to " + path;
        return !why.empty();
    };
    // A file, or the record, in neither of its places: no Retry brings it back, and the way on is to set the
    // work folder aside.
    const auto lose = [&](const std::wstring& path) {
        if (refusal)
            *refusal = L"Recovery stopped, in neither of its places: " + path;
        return fail(path);
    };
    const auto refuse = [&] {
        if (refusal)
            *refusal = L"Journal not run, " + why + L": " + journal;
        return fail(journal);
    };
    if (Exists(disk, journal)) {
        // The stick may carry a journal somebody else wrote, or one a dying stick damaged: it runs only when
        // every line is whole and in place, every path lies inside the installation, and every original its
        // apply moved aside is one it names. Without that nobody knows where a backup belongs: all stays.
        ParseJournal(disk.Load(journal), installRoot, plan, why);
        // More files in the work folder than the journal names as backups (the journal's own, the staged
        // archive and the apply's new record aside): an original it does not account for.
        std::vector<Listed> listed;
        const bool whole = disk.List(work, listed);
        const std::wstring own = ApplyFolder(installRoot, plan.applyId);
        std::ptrdiff_t unnamed = -static_cast<std::ptrdiff_t>(Exists(disk, own + L"record"));
        for (const Listed& item : listed) {
            const std::wstring& file = item.relative;
            unnamed += file.back() != L'\\' && !NotABackup(file);
        }
        // A plan without its end names nothing that may have moved: a backup beside it is one it does not name.
        for (const Entry& e : plan.entries)
            unnamed -= plan.complete && IsInside(e.backup, own) && Exists(disk, e.backup);
        if (why.empty() && (!whole || unnamed > 0))
            why = L"a backup it does not name in " + work;
        for (const std::wstring& folder : plan.newFolders)
            refused(folder);
        for (const Entry& e : plan.entries)
            refused(e.staged), refused(e.target), refused(e.backup);
        if (refused(plan.record) || refused(plan.recordSibling) || refused(plan.closeFlag))
            return refuse();
        switch (OutcomeOf(plan, Exists(disk, plan.record), Exists(disk, plan.recordSibling))) {
            case Outcome::Unknown:
                return lose(plan.record);
            case Outcome::FinishRecord:
                if (refused(plan.record) || refused(plan.recordSibling))
                    return refuse();
                // A rename within the installation's volume, never a copy that could land somewhere else.
                if (!disk.Move(plan.recordSibling, plan.record, true))
                    return fail(plan.record);
                DropBackups(disk, plan, work);
                break;
            case Outcome::Done:
                DropBackups(disk, plan, work);
                break;
            case Outcome::Undo: {
                bool lost = false;
                if (!plan.complete || UndoPlan(disk, plan, stopped, &installRoot, kept, &lost))
                    break;
                return refused(stopped) ? refuse() : lost ? lose(stopped) : fail(stopped);
            }
        }
    } else if (!FirstFile(disk, work, NotABackup).empty()) {
        // The journal lost while originals are aside: nobody knows where they belong, so all stays.
        why = L"a backup it does not name in " + work;
    }
    if (refused(plan.closeFlag))
        return refuse();
    if (!plan.closeFlag.empty())
        disk.Delete(plan.closeFlag);
    if (!RemoveWork(disk, work, journal))
        return fail(journal);
    return Recovery::Recovered;
}

}  // namespace mInstall
