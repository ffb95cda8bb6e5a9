#include "install/install_win.h"

#include <windows.h>

#include <algorithm>

#include "patcher/apply.h"
#include "support/encoding.h"
#include "support/file_io_win.h"
#include "support/file_system_win.h"
#include "support/pump_win.h"
#include "support/trace.h"

namespace mInstall {
namespace {

// A virus scanner or an indexer opens a new file for a moment: a rename that meets it is tried again
// for about a second before the target counts as in use.
constexpr int kMoveRetries = 10;
constexpr unsigned kMoveRetryStepMs = 100;

std::wstring Long(const std::wstring& path) {
    return mGlobal::ApiPath(path);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(Long(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Move(const std::wstring& from, const std::wstring& to, DWORD flags = 0) {
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(Long(from).c_str(), Long(to).c_str(), flags))
            return true;
        const DWORD e = GetLastError();
        const bool passing = e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION || e == ERROR_ACCESS_DENIED;
        if (!passing || attempt >= kMoveRetries) {
            DebugNote(L"Move " + from + L" -> " + to + L": " + mGlobal::SystemErrorText(e));
            SetLastError(e);
            return false;
        }
        SleepAndPump(kMoveRetryStepMs);
    }
}

bool MakeParent(const std::wstring& path) {
    return mGlobal::MakePath(mGlobal::FilePathOnly(path));
}

bool Delete(const std::wstring& path) {
    SetFileAttributesW(Long(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(Long(path).c_str()))
        return true;
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

// The volume of `path`, from its nearest existing folder; junctions and mount points are followed, so a
// folder that lands on another drive tells so.
DWORD VolumeSerial(const std::wstring& path) {
    std::wstring folder = mGlobal::FilePathOnly(path);
    while (!mGlobal::FolderExists(folder)) {
        std::wstring parent = mGlobal::FilePathOnly(folder);
        if (parent.size() >= folder.size())
            return 0;
        folder = std::move(parent);
    }
    UniqueFile handle(CreateFileW(Long(folder).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info))
        return 0;
    return info.dwVolumeSerialNumber;
}

// The staged file into its place; across volumes a copy beside the target, then a rename, so that the
// target is never half written.
bool Place(const std::wstring& staged, const std::wstring& target) {
    if (Move(staged, target))
        return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return false;
    const std::wstring copy = target + kNewSuffix;
    return CopyFileW(Long(staged).c_str(), Long(copy).c_str(), FALSE) && Move(copy, target);
}

// The new file out of the way: back into the staging folder (a retry swaps it again), or deleted.
bool TakeOut(const Entry& entry) {
    if (!entry.staged.empty() && !Exists(entry.staged) && MakeParent(entry.staged) && Move(entry.target, entry.staged))
        return true;
    return Delete(entry.target);
}

// Puts every entry of `plan` back as it was before the swap, from where its files are.
bool UndoPlan(const Plan& plan) {
    std::vector<std::pair<bool, bool>> presence;
    for (const Entry& e : plan.entries)
        presence.emplace_back(Exists(e.target), !e.backup.empty() && Exists(e.backup));
    if (!MatchesPlan(plan, presence)) {
        DebugNote(L"Recovery: the installation's files no longer match the journal");
        return false;
    }
    for (auto it = plan.entries.rbegin(); it != plan.entries.rend(); ++it) {
        const Entry& entry = *it;
        // Asked again: a leftover put back may be the file an earlier entry brought.
        const Undo undo = UndoFor(entry, Exists(entry.target), !entry.backup.empty() && Exists(entry.backup));
        if (undo == Undo::Mismatch)
            return false;
        if ((undo == Undo::RemoveNew || undo == Undo::RemoveThenBack) && !TakeOut(entry))
            return false;
        if ((undo == Undo::PutBack || undo == Undo::RemoveThenBack) &&
            !(MakeParent(entry.target) && Move(entry.backup, entry.target)))
            return false;
    }
    for (const Entry& e : plan.entries) {
        if (e.kind != EntryKind::Remove)
            Delete(e.target + kNewSuffix);
    }
    for (auto folder = plan.newFolders.rbegin(); folder != plan.newFolders.rend(); ++folder)
        RemoveDirectoryW(Long(*folder).c_str());  // only when empty: something else may have come in
    return true;
}

bool IsCommitted(const Plan& plan) {
    // Replacing the record is the moment the apply is done; the line after it may not have been written.
    return plan.committed || (plan.complete && !plan.record.empty() && !Exists(plan.recordSibling));
}

void ListFiles(const std::wstring& folder, const std::wstring& relative, std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileExW(Long(folder + relative + L"*").c_str(), FindExInfoBasic, &fd,
                                     FindExSearchNameMatch, nullptr, 0));
    if (!find)
        return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListFiles(folder, relative + name + L"\\", files);
        else
            files.push_back(relative + name);
    } while (FindNextFileW(find.get(), &fd));
}

}  // namespace

bool InstallLock::Acquire(const std::wstring& installRoot) {
    std::wstring key = mGlobal::GetLongPath(installRoot);
    while (!key.empty() && key.back() == L'\\')
        key.pop_back();
    CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    uint64_t hash = 14695981039346656037ull;  // FNV-1a: a root may be longer than a name may be
    for (wchar_t c : key) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    wsprintfW(name, L"Global\\OVPatcher-%08x%08x", static_cast<unsigned>(hash >> 32), static_cast<unsigned>(hash));
    mutex_.reset(CreateMutexW(nullptr, FALSE, name));
    if (!mutex_)
        return false;
    // A lock left by a patcher that died is handed over "abandoned": its apply is recovered next.
    const DWORD wait = WaitForSingleObject(mutex_.get(), 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
        return true;
    mutex_.reset();
    return false;
}

Recovery Recover(const std::wstring& installRoot) {
    const std::wstring work = InstallWorkFolder(installRoot);
    if (!mGlobal::FolderExists(work))
        return Recovery::Nothing;
    const std::wstring journal = JournalPath(installRoot);
    Plan plan;
    if (Exists(journal) && ParseJournal(mStringTools::LoadFileBinary(journal), plan) && !IsCommitted(plan)) {
        if (plan.complete && !UndoPlan(plan))
            return Recovery::Failed;
        if (!plan.recordSibling.empty())
            Delete(plan.recordSibling);
    }
    if (!plan.closeFlag.empty())
        Delete(plan.closeFlag);
    if (Exists(journal) && !Delete(journal))
        return Recovery::Failed;
    // A program moved aside while it ran cannot go yet: the next start removes it.
    mGlobal::KillFolder(work, true, nullptr, false);
    return Recovery::Recovered;
}

StagedSwap::StagedSwap(std::wstring installRoot) : root_(std::move(installRoot)) {}

bool StagedSwap::PrepareStaging() {
    const std::wstring work = InstallWorkFolder(root_);
    if (mGlobal::FolderExists(work))
        mGlobal::KillFolder(work, true, nullptr, false);
    return mGlobal::MakePath(StagingFolder(root_));
}

bool StagedSwap::WriteJournal(const std::string& bytes, bool append) {
    UniqueFile file(CreateFileW(Long(JournalPath(root_)).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                append ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    if (append && SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER)
        return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && FlushFileBuffers(file.get());
}

bool StagedSwap::Begin(const std::wstring& closeFlag) {
    plan_.closeFlag = closeFlag;
    return WriteJournal(JournalText(plan_), false);
}

bool StagedSwap::StageRecord(const std::wstring& record, const std::wstring& text) {
    plan_.record = record;
    plan_.recordSibling = record + kNewSuffix;
    if (!mStringTools::SaveFile(plan_.recordSibling, text, true, 2, false, 1252, false))
        return false;
    UniqueFile file(CreateFileW(Long(plan_.recordSibling).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.get());
}

bool StagedSwap::WritePlan(const std::wstring& extractPath) {
    const std::wstring staging = StagingFolder(root_);
    const std::wstring backup = BackupFolder(root_);
    std::vector<std::wstring> files;
    ListFiles(staging, L"", files);
    // Asked once per folder, not per file: an update brings thousands of files into a few folders, and
    // the staging folder is listed folder by folder. Plain lists: a tree container costs the program bytes.
    const DWORD rootVolume = VolumeSerial(staging);
    std::wstring lastFolder;
    bool lastSameVolume = true;
    std::vector<std::wstring> existing;
    const auto folderExists = [&](const std::wstring& folder) {
        if (std::find(existing.begin(), existing.end(), folder) != existing.end())
            return true;
        if (!mGlobal::FolderExists(folder))
            return false;
        existing.push_back(folder);
        return true;
    };
    plan_.entries.clear();
    plan_.newFolders.clear();
    for (const std::wstring& relative : files) {
        Entry e;
        e.staged = staging + relative;
        e.target = mApplyPatch::PathUnderExtractFolder(root_, extractPath, relative);
        const DWORD attr = GetFileAttributesW(Long(e.target).c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY))
            return false;  // a file cannot take a folder's place; the archiver refused this too
        if (attr != INVALID_FILE_ATTRIBUTES) {
            e.kind = EntryKind::Replace;
            const std::wstring folder = mGlobal::FilePathOnly(e.target);
            if (folder != lastFolder) {
                lastFolder = folder;
                lastSameVolume = VolumeSerial(e.target) == rootVolume;
            }
            e.backup = BackupPathFor(e.target, relative, backup, lastSameVolume);
        }
        for (std::wstring& folder : MissingFolders(e.target, root_, folderExists)) {
            if (std::find(plan_.newFolders.begin(), plan_.newFolders.end(), folder) == plan_.newFolders.end())
                plan_.newFolders.push_back(std::move(folder));
        }
        plan_.entries.push_back(std::move(e));
    }
    plan_.complete = true;
    return WriteJournal(JournalText(plan_), false);
}

bool StagedSwap::Swap(const std::function<void(size_t placed, size_t planned)>& placed) {
    // Files come folder by folder: each folder is made once.
    std::wstring madeFolder;
    std::wstring madeBackupFolder;
    const auto makeOnce = [](const std::wstring& folder, std::wstring& made) {
        if (folder == made)
            return true;
        made = folder;
        return mGlobal::MakePath(folder);
    };
    size_t done = 0;
    for (const Entry& e : plan_.entries) {
        if (e.kind == EntryKind::Remove)
            continue;
        bool ok = makeOnce(mGlobal::FilePathOnly(e.target), madeFolder);
        if (ok && e.kind == EntryKind::Replace)
            ok = makeOnce(mGlobal::FilePathOnly(e.backup), madeBackupFolder) && Move(e.target, e.backup);
        if (!ok || !Place(e.staged, e.target)) {
            RollBack();
            return false;
        }
        if (placed)
            placed(++done, plan_.entries.size());
    }
    return true;
}

void StagedSwap::MoveToBackup(const std::vector<std::wstring>& paths) {
    const DWORD rootVolume = VolumeSerial(StagingFolder(root_));
    std::vector<Entry> removals;
    for (const std::wstring& item : paths) {
        // Resolved: a leftover may be written with "/" or "..", and the journal names the file itself.
        const std::wstring path = mGlobal::GetFullPath(item, L"");
        if (path.empty() || !Exists(path) || mGlobal::FolderExists(path))
            continue;
        const std::wstring aside = InstallWorkFolder(root_) + L"gone\\" +
                                   mStringTools::DecimalText(static_cast<int64_t>(removals.size())) + L"\\" +
                                   mGlobal::FileNameOnly(path);
        removals.push_back(
            {EntryKind::Remove, L"", path, VolumeSerial(path) == rootVolume ? aside : path + kOldSuffix});
    }
    if (removals.empty() || !WriteJournal(JournalLines(removals), true))
        return;
    for (const Entry& e : removals) {
        plan_.entries.push_back(e);
        if (MakeParent(e.backup))
            Move(e.target, e.backup);
    }
}

bool StagedSwap::Commit() {
    if (!plan_.record.empty()) {
        SetFileAttributesW(Long(plan_.record).c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!Move(plan_.recordSibling, plan_.record, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            RollBack();
            return false;
        }
    }
    if (WriteJournal(CommittedLine(), true)) {
        plan_.committed = true;
        return true;
    }
    if (plan_.record.empty()) {
        RollBack();
        return false;
    }
    plan_.committed = true;  // the record is in place: that alone commits
    return true;
}

bool StagedSwap::RollBack() {
    return plan_.committed || UndoPlan(plan_);
}

void StagedSwap::Clear() {
    if (!plan_.committed && !plan_.recordSibling.empty())
        Delete(plan_.recordSibling);
    Delete(JournalPath(root_));
    mGlobal::KillFolder(InstallWorkFolder(root_), true, nullptr, false);
}

}  // namespace mInstall
