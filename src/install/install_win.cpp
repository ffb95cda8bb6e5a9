#include "install/install_win.h"

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <cwchar>

#include "install/swap_steps.h"
#include "support/encoding.h"
#include "support/file_io_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/pump_win.h"
#include "support/trace.h"

namespace mInstall {
namespace {

// A virus scanner or an indexer opens a new file for a moment: a rename that meets it is tried again
// for about a second before the target counts as in use.
constexpr int kMoveRetries = 10;
constexpr unsigned kMoveRetryStepMs = 100;

using mGlobal::ApiPath;

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(ApiPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whether a link or junction stands between `root` and `path`, `path` itself included: what a journal names
// is acted on only where the installation's own folders lead.
bool ThroughLink(const std::wstring& root, const std::wstring& path) {
    for (size_t at = root.size(); !path.empty() && at != std::wstring::npos;) {
        at = path.find(L'\\', at + 1);
        const DWORD attr = GetFileAttributesW(ApiPath(path.substr(0, at)).c_str());
        if (attr == INVALID_FILE_ATTRIBUTES)
            return false;  // nothing below it exists
        if (attr & FILE_ATTRIBUTE_REPARSE_POINT)
            return true;
    }
    return false;
}

// With `replace`, over a file that is there, whatever its attributes, and written through.
bool Move(const std::wstring& from, const std::wstring& to, bool replace = false, DWORD flags = 0) {
    if (replace) {
        SetFileAttributesW(ApiPath(to).c_str(), FILE_ATTRIBUTE_NORMAL);
        flags |= MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    }
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(ApiPath(from).c_str(), ApiPath(to).c_str(), flags))
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
    SetFileAttributesW(ApiPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(ApiPath(path).c_str()))
        return true;
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

uint64_t Join(DWORD high, DWORD low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

// What the volume of `path` is: its flags, and whether it keeps local times in 2-second steps (FAT, exFAT).
DWORD VolumeFlags(const std::wstring& path, bool* fat = nullptr) {
    wchar_t volume[MAX_PATH + 1];
    wchar_t system[32] = L"";
    DWORD flags = 0;
    if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) ||
        !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, system, 32))
        return 0;
    if (fat)
        *fat = std::wcsstr(system, L"FAT") != nullptr;
    return flags;
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
    UniqueFile handle(CreateFileW(ApiPath(folder).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info))
        return 0;
    return info.dwVolumeSerialNumber;
}

// Written through to the disk: a power cut after the commit must not find a new file zero-filled. Only a
// handle open for writing can flush, which a read-only file refuses: the archive may bring one, and it is
// made writable for the moment of the flush and then given its attributes back.
bool Flush(const std::wstring& path) {
    const std::wstring api = ApiPath(path);
    const DWORD attr = GetFileAttributesW(api.c_str());
    const bool readOnly = attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY);
    if (readOnly && !SetFileAttributesW(api.c_str(), attr & ~FILE_ATTRIBUTE_READONLY))
        return false;
    UniqueFile file(CreateFileW(api.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool flushed = file && FlushFileBuffers(file.get());
    file.reset();
    return (!readOnly || SetFileAttributesW(api.c_str(), attr)) && flushed;
}

// Whether files on the volume of `path` keep permissions of their own (NTFS does, FAT does not).
bool KeepsPermissions(const std::wstring& path) {
    return VolumeFlags(path) & FILE_PERSISTENT_ACLS;
}

// What a folder passes on to the files made in it: its permissions, as bytes to compare; empty when they
// cannot be read.
std::string FolderPermissions(const std::wstring& folder) {
    PACL dacl = nullptr;
    UniqueHLocal sd;
    if (GetNamedSecurityInfoW(ApiPath(folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, sd.put()) != ERROR_SUCCESS)
        return std::string();
    return dacl ? std::string(reinterpret_cast<const char*>(dacl), dacl->AclSize) : std::string(1, '-');
}

// A renamed file keeps the permissions it had in the staging folder, where extracting in place made it
// take its folder's. Where the two folders pass on different ones, an empty, unprotected list makes it
// take the inherited entries of its new folder (and pass them on to what a folder holds). Files come
// folder by folder, so the folders are compared once per pair.
class Permissions {
  public:
    explicit Permissions(bool volumeKeepsThem) : kept_(volumeKeepsThem) {}
    void Inherit(const std::wstring& from, const std::wstring& target) {
        if (!kept_)
            return;
        const std::wstring pair = mGlobal::FilePathOnly(from) + L"|" + mGlobal::FilePathOnly(target);
        if (pair != lastPair_) {
            lastPair_ = pair;
            const std::string staged = FolderPermissions(mGlobal::FilePathOnly(from));
            differ_ = staged.empty() || staged != FolderPermissions(mGlobal::FilePathOnly(target));
        }
        ACL empty;
        if (differ_ && InitializeAcl(&empty, sizeof(empty), ACL_REVISION))
            SetNamedSecurityInfoW(const_cast<wchar_t*>(ApiPath(target).c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &empty, nullptr);
    }

  private:
    bool kept_;
    std::wstring lastPair_;
    bool differ_ = true;
};

// The staged file into its place; across volumes a copy beside the target, then a rename, so that the
// target is never half written.
bool Place(const Entry& entry, const std::wstring& applyId) {
    if (Move(entry.staged, entry.target))
        return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return false;
    const std::wstring copy = BesideTarget(entry.target, applyId, kNewSuffix);
    return CopyFileW(ApiPath(entry.staged).c_str(), ApiPath(copy).c_str(), FALSE) && Flush(copy) &&
           Move(copy, entry.target);
}

// The real file system, as the swap's planning and the recovery ask it.
class RealDisk final : public Disk {
  public:
    Kind What(const std::wstring& path) {
        const DWORD attr = GetFileAttributesW(ApiPath(path).c_str());
        return attr == INVALID_FILE_ATTRIBUTES   ? Kind::None
               : attr & FILE_ATTRIBUTE_DIRECTORY ? Kind::Folder
                                                 : Kind::File;
    }
    uint32_t Volume(const std::wstring& path) { return VolumeSerial(path); }
    std::wstring Resolved(const std::wstring& path) { return mGlobal::GetFullPath(path, L""); }
    // Everything under `folder`, folder by folder; false when a folder cannot be read to its end.
    bool List(const std::wstring& folder, std::vector<Listed>& entries, const std::wstring& relative = L"") {
        WIN32_FIND_DATAW fd;
        UniqueFind find(FindFirstFileExW(ApiPath(folder + relative + L"*").c_str(), FindExInfoBasic, &fd,
                                         FindExSearchNameMatch, nullptr, 0));
        if (!find)
            return GetLastError() == ERROR_FILE_NOT_FOUND && !relative.empty();
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                entries.push_back({relative + name + L"\\"});
                // The archiver makes no links; one in the staging folder is not the archive's.
                if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                    !List(folder, entries, relative + name + L"\\"))
                    return false;
            } else {
                entries.push_back({relative + name, Join(fd.nFileSizeHigh, fd.nFileSizeLow),
                                   Join(fd.ftLastWriteTime.dwHighDateTime, fd.ftLastWriteTime.dwLowDateTime)});
            }
        } while (FindNextFileW(find.get(), &fd));
        return GetLastError() == ERROR_NO_MORE_FILES;
    }
    bool Stamp(const std::wstring& path, uint64_t& size, uint64_t& written) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(ApiPath(path).c_str(), GetFileExInfoStandard, &data))
            return false;
        size = Join(data.nFileSizeHigh, data.nFileSizeLow);
        written = Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
        return true;
    }
    bool FatTimes(const std::wstring& path) {
        bool fat = false;
        VolumeFlags(path, &fat);
        return fat;
    }
    bool ThroughLink(const std::wstring& root, const std::wstring& path) { return mInstall::ThroughLink(root, path); }
    bool IsOwnFolder(const std::wstring& folder) { return mInstall::IsOwnFolder(folder); }
    bool RemoveOwnFolder(const std::wstring& folder) { return mInstall::RemoveOwnFolder(folder); }
    std::string Load(const std::wstring& path) { return mStringTools::LoadFileBinary(path); }
    bool Move(const std::wstring& from, const std::wstring& to, bool replace) {
        return mInstall::Move(from, to, replace);
    }
    bool Delete(const std::wstring& path) { return mInstall::Delete(path); }
    bool MakeFolders(const std::wstring& folder) { return mGlobal::MakePath(folder); }
    void RemoveEmptyFolder(const std::wstring& folder) { RemoveDirectoryW(ApiPath(folder).c_str()); }
};

RealDisk gDisk;

std::wstring MarkOf(const std::wstring& folder) {
    return mGlobal::WithSlash(folder) + kOwnMark;
}

bool PutMark(const std::wstring& folder) {
    UniqueFile mark(CreateFileW(ApiPath(MarkOf(folder)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(mark);
}

}  // namespace

bool IsOwnFolder(const std::wstring& folder) {
    const DWORD attr = GetFileAttributesW(ApiPath(folder).c_str());
    if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY) || (attr & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    const DWORD mark = GetFileAttributesW(ApiPath(MarkOf(folder)).c_str());
    return mark != INVALID_FILE_ATTRIBUTES && !(mark & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeOwnFolder(const std::wstring& folder) {
    return MakeNewOwnFolder(folder, nullptr) || (GetLastError() == ERROR_ALREADY_EXISTS && IsOwnFolder(folder));
}

bool MakeNewOwnFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security) {
    if (!CreateDirectoryW(ApiPath(folder).c_str(), security))
        return false;
    if (PutMark(folder))
        return true;
    RemoveDirectoryW(ApiPath(folder).c_str());
    return false;
}

bool RemoveOwnFolder(const std::wstring& folder) {
    if (!Exists(folder))
        return true;
    if (!IsOwnFolder(folder)) {
        DebugNote(L"Not the patcher's folder, left as it is: " + folder);
        return false;
    }
    const std::wstring base = mGlobal::WithSlash(folder);
    std::vector<std::wstring> names;
    {
        WIN32_FIND_DATAW fd;
        UniqueFind find(
            FindFirstFileExW(ApiPath(base + L"*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0));
        if (!find)
            return false;
        do {
            names.push_back(fd.cFileName);
        } while (FindNextFileW(find.get(), &fd));
    }
    for (const std::wstring& name : names) {
        if (name == L"." || name == L".." || name == kOwnMark)
            continue;
        const std::wstring path = base + name;
        const DWORD attr = GetFileAttributesW(ApiPath(path).c_str());
        if (attr == INVALID_FILE_ATTRIBUTES)
            continue;
        if (attr & FILE_ATTRIBUTE_REPARSE_POINT)
            RemoveDirectoryW(ApiPath(path).c_str()) || Delete(path);  // the link itself, never what it points at
        else if (attr & FILE_ATTRIBUTE_DIRECTORY)
            mGlobal::KillFolder(path, true, nullptr, false);
        else
            Delete(path);
    }
    // The mark goes last, and only from a folder that is otherwise empty.
    if (!FirstFile(gDisk, base, [](const std::wstring& relative) { return relative == kOwnMark; }).empty())
        return false;
    if (!Delete(MarkOf(folder)))
        return false;
    if (RemoveDirectoryW(ApiPath(folder).c_str()))
        return true;
    PutMark(folder);  // something came in meanwhile: the folder stays the program's
    return false;
}

std::wstring SetAsidePath(const std::wstring& installRoot) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    wsprintfW(stamp, L"%04u-%02u-%02u %02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return installRoot + L"\\OVPatcher.kept " + stamp;
}

bool SetAside(const std::wstring& installRoot, const std::wstring& to) {
    const std::wstring work = InstallWorkFolder(installRoot);
    return IsOwnFolder(work) && MoveFileExW(ApiPath(mGlobal::WithoutSlash(work)).c_str(), ApiPath(to).c_str(), 0);
}

bool InstallLock::Acquire(const std::wstring& installRoot) {
    // Made by this lock, it goes when its handle closes, with the process too. One a power cut left stays as
    // it is (it is nobody's to delete) and is held open all the same; a link there is held, never followed.
    const std::wstring path = ApiPath(installRoot + kLockFile);
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file_ && GetLastError() == ERROR_FILE_EXISTS)
        file_.reset(
            CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return static_cast<bool>(file_);
}

Recovery Recover(const std::wstring& installRoot,
                 std::wstring* blocker,
                 std::wstring* refusal,
                 std::vector<std::wstring>* kept) {
    return Recover(gDisk, installRoot, blocker, refusal, kept);
}

StagedSwap::StagedSwap(std::wstring installRoot) : root_(std::move(installRoot)) {
    wchar_t id[16];
    wsprintfW(id, L"%08x", static_cast<unsigned>(GetTickCount() ^ (GetCurrentProcessId() << 16)));
    plan_.applyId = id;
}

bool StagedSwap::PrepareStaging() {
    const std::wstring work = InstallWorkFolder(root_);
    const std::wstring staging = StagingFolder(root_);
    RemoveOwnFolder(work);
    blocker_ = work;
    if (!MakeOwnFolder(mGlobal::WithoutSlash(work)))
        return false;
    // A file left in the staging folder would be installed as if the archive brought it.
    blocker_ = FirstFile(gDisk, staging, [](const std::wstring&) { return false; });
    if (!blocker_.empty())
        return false;
    // Each apply's backups go to a folder named after it; one an earlier apply left is never reused.
    while (Exists(ApplyFolder(root_, plan_.applyId)))
        plan_.applyId += L"x";
    blocker_ = staging;
    return mGlobal::MakePath(mGlobal::WithoutSlash(staging));
}

bool StagedSwap::WriteJournal(const std::string& bytes, bool append) {
    // A new version is written whole beside the journal and renamed over it: a cut while it is written leaves
    // the earlier one, and its close flag, as they were.
    const std::wstring journal = JournalPath(root_);
    const std::wstring path = append ? journal : InstallWorkFolder(root_) + L"journal.new";
    {
        UniqueFile file(CreateFileW(ApiPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    append ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return false;
        if (append && SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER)
            return false;
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get()))
            return false;
    }
    return append || Move(path, journal, true);
}

bool StagedSwap::FlushStaged() {
    const std::wstring staging = StagingFolder(root_);
    std::vector<Listed> listed;
    blocker_ = staging;
    if (!gDisk.List(staging, listed))
        return false;
    for (const Listed& item : listed) {
        blocker_ = staging + item.relative;
        if (item.relative.back() != L'\\' && !Flush(blocker_))
            return false;
    }
    blocker_.clear();
    return true;
}

bool StagedSwap::Begin(const std::wstring& closeFlag) {
    plan_.closeFlag = closeFlag;
    return WriteJournal(JournalText(plan_, root_), false);
}

bool StagedSwap::WritePlan(const std::wstring& extractPath) {
    if (moved_)
        return false;
    std::vector<Listed> listed;
    blocker_ = StagingFolder(root_);
    return gDisk.List(blocker_, listed) &&
           PlanSwap(gDisk, root_, extractPath, listed, plan_, wholeFolders_, blocker_) &&
           WriteJournal(JournalText(plan_, root_), false);
}

bool StagedSwap::Swap(const std::function<void(size_t placed, size_t planned)>& placed) {
    moved_ = true;
    Permissions permissions(KeepsPermissions(root_ + L"\\"));
    // A folder the archive brings where none is goes in one rename, with all it holds; its files stay
    // journaled one by one, so that the undo does not care how they came.
    std::vector<std::wstring> whole;
    for (const auto& [staged, target] : wholeFolders_) {
        if (MakeParent(target) && Move(staged, target)) {
            whole.push_back(target + L"\\");
            permissions.Inherit(staged, target);
        }
    }
    const auto inWhole = [&](const std::wstring& path) {
        return std::any_of(whole.begin(), whole.end(), [&](const std::wstring& w) { return IsInside(path, w); });
    };
    for (const std::wstring& folder : plan_.newFolders) {
        if (!inWhole(folder) && !mGlobal::MakePath(folder)) {
            blocker_ = folder;
            RollBack();
            return false;
        }
    }
    // Files come folder by folder: each backup folder is made once. A file that came with its whole folder
    // counts as placed at once.
    const size_t planned = static_cast<size_t>(std::count_if(
        plan_.entries.begin(), plan_.entries.end(), [](const Entry& e) { return e.kind != EntryKind::Remove; }));
    size_t done = 0;
    std::wstring madeBackupFolder;
    for (const Entry& e : plan_.entries) {
        if (e.kind == EntryKind::Remove)
            continue;
        if (e.kind == EntryKind::Add && inWhole(e.target)) {
            ++done;
            continue;
        }
        blocker_ = e.target;
        bool ok = true;
        if (e.kind == EntryKind::Replace) {
            const std::wstring folder = mGlobal::FilePathOnly(e.backup);
            if (folder != madeBackupFolder) {
                madeBackupFolder = folder;
                ok = mGlobal::MakePath(folder);
            }
            ok = ok && Move(e.target, e.backup);
        }
        if (!ok || !Place(e, plan_.applyId)) {
            RollBack();
            return false;
        }
        permissions.Inherit(e.staged, e.target);
        if (placed)
            placed(++done, planned);
    }
    if (placed)
        placed(done, planned);
    return true;
}

void StagedSwap::MoveToBackup(const std::vector<std::wstring>& paths) {
    const DWORD rootVolume = VolumeSerial(StagingFolder(root_));
    std::vector<Entry> removals;
    for (const std::wstring& item : paths) {
        // Resolved: a leftover may be written with "/" or "..", and the journal names the file itself.
        // Only the installation's own files: a journal that names one outside it is not run by a recovery.
        const std::wstring path = mGlobal::GetFullPath(item, L"");
        if (!IsInside(path, root_ + L"\\") || !Exists(path) || mGlobal::FolderExists(path))
            continue;
        const std::wstring aside = ApplyFolder(root_, plan_.applyId) + L"gone\\" +
                                   mStringTools::DecimalText(static_cast<int64_t>(removals.size())) + L"\\" +
                                   mGlobal::FileNameOnly(path);
        removals.push_back({EntryKind::Remove, L"", path,
                            VolumeSerial(path) == rootVolume ? aside : BesideTarget(path, plan_.applyId, kOldSuffix)});
    }
    if (removals.empty() || !WriteJournal(JournalLines(removals, root_), true))
        return;
    for (const Entry& e : removals) {
        plan_.entries.push_back(e);
        if (!Exists(e.backup) && MakeParent(e.backup))
            Move(e.target, e.backup);
    }
}

bool StagedSwap::StageRecord(const std::wstring& record, const std::wstring& text) {
    plan_.record = record;
    plan_.recordSibling = ApplyFolder(root_, plan_.applyId) + L"record";
    blocker_ = record;
    // Journaled only once it is whole: a start that finds the line finds the file.
    const bool ok = MakeParent(plan_.recordSibling) && mStringTools::SaveUtf8Text(plan_.recordSibling, text) &&
                    Flush(plan_.recordSibling) && WriteJournal(RecordLine(plan_, root_), true);
    if (!ok)
        plan_.record.clear(), plan_.recordSibling.clear();
    return ok;
}

bool StagedSwap::Commit() {
    if (!plan_.record.empty()) {
        blocker_ = plan_.record;
        if (!Move(plan_.recordSibling, plan_.record, true, MOVEFILE_COPY_ALLOWED)) {
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
    if (plan_.committed || !moved_)
        return true;
    std::wstring stopped;
    if (!UndoPlan(gDisk, plan_, stopped)) {
        blocker_ = stopped;
        return false;
    }
    moved_ = false;
    return true;
}

void StagedSwap::Clear() {
    const std::wstring work = InstallWorkFolder(root_);
    if (!IsOwnFolder(work))
        return;  // somebody else's folder of that name: nothing in it is the apply's
    if (plan_.committed)
        DropBackups(gDisk, plan_, work);
    if (moved_ && !plan_.committed)
        return;  // the journal stays for the next start
    RemoveWork(gDisk, work, JournalPath(root_));
}

}  // namespace mInstall
