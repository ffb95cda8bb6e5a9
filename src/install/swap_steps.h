// The swap's planning and the recovery of a dead apply, as steps over a disk: what exists, on which volume,
// behind which link, and the few acts the undo orders. The shell's disk is the real file system; the tests
// script one. Templates, so that the shipped program calls its disk directly and pays nothing for the seam.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "install/install_plan.h"
#include "support/path.h"
#include "support/trace.h"

namespace mInstall {

// What every disk derives from: the kinds of thing a path names.
struct Disk {
    enum class Kind { None, File, Folder };
};

// What a disk answers and does:
// - What: whether a path is a file, a folder or nothing.
// - Volume: the volume a path lies on, from its nearest existing folder, junctions and mount points followed;
//   0 when it cannot be told.
// - Resolved: the path with "/", "." and ".." taken as the system takes them.
// - List: everything under a folder (which ends with a backslash), folder by folder; false when it cannot be
//   read to its end or a link stands in it.
// - Stamp: a file's size and last-write time; false for no file. FatTimes: whether the volume of a path keeps
//   local times in 2-second steps (FAT, exFAT).
// - ThroughLink: whether a link or junction stands between a root and a path, the path itself included.
// - IsOwnFolder, RemoveOwnFolder: folders with the program's mark. Load: a file's bytes.
// - Move: a rename, tried again for a moment while something holds the file; with `replace`, over a file that
//   is there, whatever its attributes, and written through. Delete: true too when there is nothing to delete.
//   MakeFolders: a folder with its parents. RemoveEmptyFolder: only when it is empty.
template <class D>
concept SwapDisk = std::derived_from<D, Disk> &&
    requires(D& d, const std::wstring& p, std::vector<Listed>& items, uint64_t& n, bool replace) {
    { d.What(p) } -> std::same_as<Disk::Kind>;
    { d.Volume(p) } -> std::convertible_to<uint32_t>;
    { d.Resolved(p) } -> std::convertible_to<std::wstring>;
    { d.List(p, items) } -> std::same_as<bool>;
    { d.Stamp(p, n, n) } -> std::same_as<bool>;
    { d.FatTimes(p) } -> std::same_as<bool>;
    { d.ThroughLink(p, p) } -> std::same_as<bool>;
    { d.IsOwnFolder(p) } -> std::same_as<bool>;
    { d.RemoveOwnFolder(p) } -> std::same_as<bool>;
    { d.Load(p) } -> std::convertible_to<std::string>;
    { d.Move(p, p, replace) } -> std::same_as<bool>;
    { d.Delete(p) } -> std::same_as<bool>;
    { d.MakeFolders(p) } -> std::same_as<bool>;
    d.RemoveEmptyFolder(p);
};

// The plan for the files and folders `staged` lists under the staging folder, bound for the root + "\\" +
// `extractPath`: Replace where a file is, Add where none is, a new folder whole where none is, and each
// backup's place. False, `blocker` naming it, for a target in the program's own folder, a file where a folder
// is, or a backup place that is taken.
template <SwapDisk D>
bool PlanSwap(D& disk,
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
        const std::wstring folder = mGlobal::WithoutSlash(target);
        bool covered = false;
        for (const WholeFolder& whole : wholeFolders)
            covered = covered || IsInside(target, whole.target + L"\\");
        if (!covered && !folderExists(folder))
            wholeFolders.push_back({staging + mGlobal::WithoutSlash(item.relative), folder});
    }
    for (const Listed& item : staged) {
        const std::wstring target = PathUnderExtractFolder(root, extractPath, item.relative);
        blocker = target;
        // Nothing of the archive lands in the program's own folder: the record's sibling lives there.
        if (IsInside(disk.Resolved(target) + L"\\", work))
            return false;
        if (item.relative.back() == L'\\') {
            newFolders(mGlobal::WithoutSlash(target));  // the archive's folders as staged, empty ones too
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

// Whether the file at the entry's target is the one the apply placed: the size and last-write time it
// recorded, the time as the volume keeps it.
template <SwapDisk D>
bool IsPlaced(D& disk, const Entry& entry) {
    // A replaced file from an earlier version's journal has no size and time: taken as placed.
    if (entry.kind == EntryKind::Replace && !entry.written)
        return true;
    uint64_t size = 0;
    uint64_t written = 0;
    if (!disk.Stamp(entry.target, size, written) || size != entry.size)
        return false;
    return written == entry.written || SameWriteTime(entry.written, written, disk.FatTimes(entry.target));
}

namespace detail {

// Inlined: a function of their own costs the program more than their calls.
template <SwapDisk D>
[[gnu::always_inline]] inline bool Exists(D& disk, const std::wstring& path) {
    return disk.What(path) != Disk::Kind::None;
}

template <SwapDisk D>
[[gnu::always_inline]] inline bool MakeParent(D& disk, const std::wstring& path) {
    return disk.MakeFolders(mGlobal::FilePathOnly(path));
}

// The new file out of the way: back into the staging folder (a retry swaps it again), or deleted.
template <SwapDisk D>
bool TakeOut(D& disk, const Entry& entry) {
    if (!entry.staged.empty() && !detail::Exists(disk, entry.staged) && detail::MakeParent(disk, entry.staged) &&
        disk.Move(entry.target, entry.staged, false))
        return true;
    return disk.Delete(entry.target);
}

}  // namespace detail

// Puts every entry of `plan` back as it was before the swap, from where its files are, last entry first; on
// failure `blocker` names the file that could not be put back, and `lost` says whether it is neither in place
// nor in its backup (nothing tried again brings it back). With `root` (a recovery), an entry with a link on the
// way to one of its files stops the undo just before it would act, that file named. A file the user changed
// stays, its original beside it, and `kept` gets a line for the run's log.
template <SwapDisk D>
bool UndoPlan(D& disk,
              const Plan& plan,
              std::wstring& blocker,
              const std::wstring* root = nullptr,
              std::vector<std::wstring>* kept = nullptr,
              bool* lost = nullptr) {
    const auto presence = [&](const Entry& e) {
        Presence p;
        p.target = detail::Exists(disk, e.target);
        p.backup = !e.backup.empty() && detail::Exists(disk, e.backup);
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
        if ((undo == Undo::RemoveNew || undo == Undo::RemoveThenBack) && !detail::TakeOut(disk, entry))
            return false;
        if ((undo == Undo::PutBack || undo == Undo::RemoveThenBack) &&
            !(detail::MakeParent(disk, entry.target) && disk.Move(entry.backup, entry.target, false)))
            return false;
        if (undo == Undo::KeepBoth) {
            // A rename beside the user's file, never over anything.
            std::wstring aside;
            for (int n = 1; aside.empty() || detail::Exists(disk, aside); ++n)
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

// After the commit the originals are not needed: those beside their targets go now, the ones in the work
// folder with it.
template <SwapDisk D>
void DropBackups(D& disk, const Plan& plan, const std::wstring& work) {
    for (const Entry& e : plan.entries) {
        if (!e.backup.empty() && !IsInside(e.backup, work))
            disk.Delete(e.backup);
    }
}

// The first file under `folder` whose relative path `skip` does not exclude; empty when there is none.
template <SwapDisk D>
std::wstring FirstFile(D& disk, const std::wstring& folder, bool (*skip)(const std::wstring&)) {
    std::vector<Listed> entries;
    disk.List(folder, entries);
    for (const Listed& e : entries) {
        if (e.relative.back() != L'\\' && !skip(e.relative))
            return folder + e.relative;
    }
    return std::wstring();
}

// The work folder emptied with its journal last, so that originals aside without a journal always mean a
// journal lost, never an apply that was over. One that cannot go yet (a program moved aside while it ran) keeps
// the journal, and the next start tries again. False when the journal cannot be deleted.
template <SwapDisk D>
bool RemoveWork(D& disk, const std::wstring& work, const std::wstring& journal) {
    std::vector<Listed> listed;
    disk.List(work, listed);
    bool left = false;
    for (const Listed& item : listed)
        left |= item.relative.back() != L'\\' && !NotABackup(item.relative) && !disk.Delete(work + item.relative);
    if (left)
        return true;
    if (detail::Exists(disk, journal) && !disk.Delete(journal))
        return false;
    disk.RemoveOwnFolder(work);
    return true;
}

// Puts an installation back to a whole state after an apply that died: the outcome its journal and records
// give, what is undone, what is refused (see the shell's Recover for what the caller gets back).
template <SwapDisk D>
Recovery Recover(D& disk,
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
    if (!detail::Exists(disk, work))
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
    if (detail::Exists(disk, journal)) {
        // The stick may carry a journal somebody else wrote, or one a dying stick damaged: it runs only when
        // every line is whole and in place, every path lies inside the installation, and every original its
        // apply moved aside is one it names. Without that nobody knows where a backup belongs: all stays.
        ParseJournal(disk.Load(journal), installRoot, plan, why);
        // More files in the work folder than the journal names as backups (the journal's own, the staged
        // archive and the apply's new record aside): an original it does not account for.
        std::vector<Listed> listed;
        const bool whole = disk.List(work, listed);
        const std::wstring own = ApplyFolder(installRoot, plan.applyId);
        std::ptrdiff_t unnamed = -static_cast<std::ptrdiff_t>(detail::Exists(disk, own + L"record"));
        for (const Listed& item : listed) {
            const std::wstring& file = item.relative;
            unnamed += file.back() != L'\\' && !NotABackup(file);
        }
        // A plan without its end names nothing that may have moved: a backup beside it is one it does not name.
        for (const Entry& e : plan.entries)
            unnamed -= plan.complete && IsInside(e.backup, own) && detail::Exists(disk, e.backup);
        if (why.empty() && (!whole || unnamed > 0))
            why = L"a backup it does not name in " + work;
        for (const std::wstring& folder : plan.newFolders)
            refused(folder);
        for (const Entry& e : plan.entries)
            refused(e.staged), refused(e.target), refused(e.backup);
        if (refused(plan.record) || refused(plan.recordSibling) || refused(plan.closeFlag))
            return refuse();
        switch (OutcomeOf(plan, detail::Exists(disk, plan.record), detail::Exists(disk, plan.recordSibling))) {
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
