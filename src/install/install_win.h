// The staged swap on the file system: the installation lock, the journal on disk, the renames with their
// retries, the undo, and the recovery of an apply that died. Every decision comes from install_plan.h.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "install/install_plan.h"
#include "support/handles_win.h"

namespace mInstall {

// One apply per installation at a time: a file in the installation's folder, held open without sharing, so
// that every path leading there (another drive letter, a share, a link, another machine) meets it. Dies with
// its process, so a killed patcher's lock is free again (and its journal then recovered).
inline constexpr wchar_t kLockFile[] = L"\\OVPatcher.lock";
class InstallLock {
  public:
    // False when the file cannot be held: another patcher holds it.
    bool Acquire(const std::wstring& installRoot);
    void Release() { file_.reset(); }

  private:
    UniqueFile file_;
};

// Folders the program makes for itself carry its mark; only such a folder is ever emptied or removed,
// and never through a link. Anything else of the same name is left where it is, with a trace line.
bool IsOwnFolder(const std::wstring& folder);
// Makes `folder` (its parent exists) with the mark in it; true too when it is already the program's own.
bool MakeOwnFolder(const std::wstring& folder);
// The same, with `security` (nothing: the default), but never one that exists, even the program's own:
// false then, and the last error is ERROR_ALREADY_EXISTS.
bool MakeNewOwnFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security);
// Removes an own folder with everything in it, the mark last. What cannot go yet (a program that ran from
// it) stays, and the folder with it; false then, or when the folder is not the program's.
bool RemoveOwnFolder(const std::wstring& folder);

// Puts an installation back to a whole state after an apply that died; the caller holds the lock. On
// failure `blocker` names the file or folder that stopped it. A journal that is not run (damaged, naming a
// place outside the installation or behind a link, or not naming a backup) is the blocker, and `refusal`
// then gets a line for the run's log that says why; so does a stop that no retry can change (a file neither in
// place nor in its backup, the blocker then, or neither record there). A file the user changed after the cut
// stays as it is, and the original beside it: `kept` gets a line for the run's log for each.
Recovery Recover(const std::wstring& installRoot,
                 std::wstring* blocker = nullptr,
                 std::wstring* refusal = nullptr,
                 std::vector<std::wstring>* kept = nullptr);

// Where the work folder of a dead apply whose journal is not run can be set aside, whole, beside it:
// "OVPatcher.kept <yyyy-mm-dd hhmmss>". SetAside renames it there (never a copy, never a folder without the
// program's mark or behind a link); false when it could not.
std::wstring SetAsidePath(const std::wstring& installRoot);
bool SetAside(const std::wstring& installRoot, const std::wstring& to);

class StagedSwap {
  public:
    explicit StagedSwap(std::wstring installRoot);

    // An empty staging folder, the folder the archive is extracted into; false when the work folder is
    // not the program's or something in the staging folder cannot be removed.
    bool PrepareStaging();
    // Every staged file written through to the disk, before anything is stopped: a power cut after the
    // commit must not find a new file zero-filled and its original gone. False when one cannot be.
    bool FlushStaged();
    // The plan's first lines, before anything is stopped: a dead apply's close flag is then found.
    bool Begin(const std::wstring& closeFlag);
    // The plan for the staged files and folders, empty ones too, bound for the root + "\\" + `extractPath`,
    // written and flushed. Never once files have moved and could not all be put back: the journal then stays
    // as it is.
    bool WritePlan(const std::wstring& extractPath);
    // Every staged file into place, telling `placed` how many of how many are in. On failure everything
    // swapped is put back and false is returned.
    bool Swap(const std::function<void(size_t placed, size_t planned)>& placed = {});
    // Leftovers the patch deletes go to the backup; one that cannot move is left as it is.
    void MoveToBackup(const std::vector<std::wstring>& paths);
    // The new record, written whole and journaled; the last step before the commit.
    bool StageRecord(const std::wstring& record, const std::wstring& text);
    // The record into place and the journal marked committed; false (and everything put back) on failure.
    bool Commit();
    // Puts everything back (nothing once committed); false while some file could not be put back.
    bool RollBack();
    // Files moved and not all put back: the journal must stay for a later start.
    bool Moved() const { return moved_; }
    // Removes the staging folder, the backups and the journal; leftovers in use go at a later start. Once
    // committed this may wait until the user has heard of the success: a start in between finishes it.
    void Clear();

    const Plan& plan() const { return plan_; }
    // The file or folder that stopped the last step that failed.
    const std::wstring& blocker() const { return blocker_; }

  private:
    bool WriteJournal(const std::string& bytes, bool append);

    std::wstring root_;
    Plan plan_;
    std::wstring blocker_;
    bool moved_ = false;
    // Staged folders whose targets do not exist yet: each goes in one rename.
    std::vector<WholeFolder> wholeFolders_;
};

}  // namespace mInstall
