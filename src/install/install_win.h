// The staged swap on the file system: the installation lock, the journal on disk, the renames with their
// retries, the undo, and the recovery of an apply that died. Every decision comes from install_plan.h.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "install/install_plan.h"
#include "support/handles_win.h"

namespace mInstall {

// One apply per installation at a time, across sessions. Dies with its process, so a killed patcher's lock
// is free again (and its journal then recovered).
class InstallLock {
  public:
    // False when another process holds the lock of this root.
    bool Acquire(const std::wstring& installRoot);
    void Release() { mutex_.reset(); }

  private:
    UniqueHandle mutex_;
};

enum class Recovery { Nothing, Recovered, Failed };
// Puts an installation back to a whole state after an apply that died; the caller holds the lock.
Recovery Recover(const std::wstring& installRoot);

class StagedSwap {
  public:
    explicit StagedSwap(std::wstring installRoot);

    // An empty staging folder, the folder the archive is extracted into.
    bool PrepareStaging();
    // The plan's first lines, before anything is stopped: a dead apply's close flag is then found.
    bool Begin(const std::wstring& closeFlag);
    // The new record beside the old one; false when it cannot be written (nothing has moved then).
    bool StageRecord(const std::wstring& record, const std::wstring& text);
    // The plan for the staged files, bound for the root + "\\" + `extractPath`, written and flushed.
    bool WritePlan(const std::wstring& extractPath);
    // Every staged file into place, telling `placed` how many of how many are in. On failure everything
    // swapped is put back and false is returned.
    bool Swap(const std::function<void(size_t placed, size_t planned)>& placed = {});
    // Leftovers the patch deletes go to the backup; one that cannot move is left as it is.
    void MoveToBackup(const std::vector<std::wstring>& paths);
    // The record into place and the journal marked committed; false (and everything put back) on failure.
    bool Commit();
    // Puts everything back (nothing once committed).
    bool RollBack();
    // Removes the staging folder, the backup and the journal; leftovers in use go at a later start. Once
    // committed this may wait until the user has heard of the success: a start in between finishes it.
    void Clear();

    const Plan& plan() const { return plan_; }

  private:
    bool WriteJournal(const std::string& bytes, bool append);

    std::wstring root_;
    Plan plan_;
};

}  // namespace mInstall
