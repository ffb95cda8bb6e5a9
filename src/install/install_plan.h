// The staged swap of an archive's files into an installation, as data: the folders it uses under the
// installation root, the plan written before the first file moves, its journal text, and what a later
// start does with the files of an apply that died.
//
// The plan is written and flushed once; progress is not journaled per file but read back from where the
// files are. Every move is a rename within one volume, so a file is always in exactly one of its two
// places and the presence of a target and its backup tells how far the swap came.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace mInstall {

// Under the installation root, so that recovery finds it from the root alone and every rename stays on
// the installation's volume. A person looking at the root sees whose it is.
inline constexpr wchar_t kInstallWorkFolder[] = L"\\OVPatcher.tmp\\";
std::wstring InstallWorkFolder(const std::wstring& installRoot);  // with its trailing backslash
std::wstring StagingFolder(const std::wstring& installRoot);      // the archive as extracted, "new\"
std::wstring BackupFolder(const std::wstring& installRoot);       // what the swap moved aside, "old\"
std::wstring JournalPath(const std::wstring& installRoot);

// Beside a target on another volume than the root: its new copy before the rename into place, and the
// original moved aside.
inline constexpr wchar_t kNewSuffix[] = L".ovpnew";
inline constexpr wchar_t kOldSuffix[] = L".ovpold";

enum class EntryKind {
    Replace,  // the staged file replaces an existing target, which goes to the backup
    Add,      // the staged file lands where nothing was
    Remove,   // a leftover the patch deletes: moved to the backup, so that it can come back
};

struct Entry {
    EntryKind kind = EntryKind::Add;
    std::wstring staged;  // empty for Remove
    std::wstring target;
    std::wstring backup;  // empty for Add
};

struct Plan {
    std::wstring closeFlag;                // the menu's close flag; empty when the menu is not stopped
    std::wstring record;                   // version.ver; empty when the patch does not record itself
    std::wstring recordSibling;            // the new record, written before any file moves
    std::vector<std::wstring> newFolders;  // folders the swap creates, parents first
    std::vector<Entry> entries;
    bool complete = false;   // the whole plan was written: files may have moved
    bool committed = false;  // the record is in place: the apply is done
};

// The journal: a header line, then one tab-separated line per item, then "end". Leftovers removed after
// the swap are appended later, each before it moves; "committed" last. Only lines ended by CR LF count,
// so a line torn by a power cut is no line. Stored as UTF-16LE bytes (paths may hold any character).
std::string JournalText(const Plan& plan);
std::string JournalLines(const std::vector<Entry>& removals);
std::string CommittedLine();
// Nothing when the bytes are not a journal (no header): the caller then has nothing to recover from.
bool ParseJournal(const std::string& bytes, Plan& plan);

// What recovery does with one entry of an apply that was not committed, from where its files are.
enum class Undo {
    Nothing,         // the entry never moved
    PutBack,         // the original is in the backup, its place empty: rename it back
    RemoveThenBack,  // the new file is in place and the original in the backup
    RemoveNew,       // a file the apply added
    Mismatch,        // neither the original nor the backup: files were changed behind the apply's back
};
Undo UndoFor(const Entry& entry, bool targetExists, bool backupExists);

// Whether every entry can be undone from where its files are (`presence`: target, backup per entry). When
// one cannot, nothing is touched: the files were changed behind the apply's back. The undo itself runs
// backwards through the entries, each asked again when its turn comes.
bool MatchesPlan(const Plan& plan, const std::vector<std::pair<bool, bool>>& presence);

// Where the backup of `target` goes: the same relative place under the backup folder when the target is
// under `base` (the extraction folder) on the root's volume, else beside the target.
std::wstring BackupPathFor(const std::wstring& target,
                           const std::wstring& relative,
                           const std::wstring& backupFolder,
                           bool sameVolume);

// The folders between an existing ancestor and `path`'s folder that do not exist yet, parents first.
// Stops at `root`, which exists.
std::vector<std::wstring> MissingFolders(const std::wstring& filePath,
                                         const std::wstring& root,
                                         const std::function<bool(const std::wstring&)>& folderExists);

}  // namespace mInstall
