// The staged swap of an archive's files into an installation, as data: the folders it uses under the
// installation root, the plan written before the first file moves, its journal text, and what a later
// start does with the files of an apply that died.
//
// The plan is written and flushed once; progress is not journaled per file but read back from where the
// files are. Every move is a rename within one volume, so a file is always in exactly one of its two
// places and the presence of a target and its backup tells how far the swap came.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace mInstall {

// Under the installation root, so that recovery finds it from the root alone and every rename stays on
// the installation's volume. A person looking at the root sees whose it is; the mark inside tells the
// program that the folder is its own (a folder of that name without it is somebody else's).
inline constexpr wchar_t kInstallWorkFolder[] = L"\\OVPatcher.tmp\\";
inline constexpr wchar_t kOwnMark[] = L"OVPatcher.mark";
std::wstring InstallWorkFolder(const std::wstring& installRoot);  // with its trailing backslash
std::wstring StagingFolder(const std::wstring& installRoot);      // the archive as extracted, "new\"
std::wstring JournalPath(const std::wstring& installRoot);
// One apply's own folder for what it moves aside and for its new record: named after the apply, so that
// nothing an earlier apply left there can be taken for this one's.
std::wstring ApplyFolder(const std::wstring& installRoot, const std::wstring& applyId);

// Beside a target on another volume than the root, with the apply's name between: its new copy before
// the rename into place, and the original moved aside.
inline constexpr wchar_t kNewSuffix[] = L".ovpnew";
inline constexpr wchar_t kOldSuffix[] = L".ovpold";
std::wstring BesideTarget(const std::wstring& target, const std::wstring& applyId, const wchar_t* suffix);

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
    // The staged file's size and last-write time: an added file is taken out again only while it is the
    // one the apply placed.
    uint64_t size = 0;
    uint64_t written = 0;
};

struct Plan {
    std::wstring applyId;                  // names this apply's backups
    std::wstring closeFlag;                // the menu's close flag; empty when the menu is not stopped
    std::wstring record;                   // version.ver; empty when the patch does not record itself
    std::wstring recordSibling;            // the new record, written after the post-install steps
    std::vector<std::wstring> newFolders;  // folders the swap creates, parents first
    std::vector<Entry> entries;
    bool complete = false;   // the whole plan was written: files may have moved
    bool committed = false;  // the record is in place: the apply is done
};

// The journal: a header line, then one tab-separated line per item, then "end". Leftovers removed after
// the swap and the staged record are appended later, each before it moves; "committed" last. Only lines
// ended by CR LF count, so a line torn by a power cut is no line. Stored as UTF-16LE bytes (paths may hold
// any character). A path under the root is stored relative to it, so that an installation found under
// another drive letter or folder name is recovered where it is now.
std::string JournalText(const Plan& plan, const std::wstring& root);
std::string JournalLines(const std::vector<Entry>& removals, const std::wstring& root);
std::string RecordLine(const Plan& plan, const std::wstring& root);
std::string CommittedLine();
// False when the bytes are not a journal (no header). A whole line that has no place where it stands, or
// names a path `PathInside` refuses, makes the journal one not to run: `why` then says which line and what is
// wrong with it, and the plan is not one to act on. Only a torn last line (no CR LF) is dropped.
bool ParseJournal(const std::string& bytes, const std::wstring& root, Plan& plan, std::wstring& why);

// Where the journal names the record: the patcher keeps the installation's version file there.
inline constexpr wchar_t kRecordPlace[] = L"OrvanaTools\\version.ver";

// The one way from a path the journal stores to a path the recovery may touch: a plain relative path inside
// `root` (no drive, stream, device or "\\?\" form, no "." or "..", no empty name, no name Windows would
// trim), joined to it with backslashes. Empty when the stored text is anything else: the stick may carry a
// journal somebody else wrote.
std::wstring PathInside(const std::wstring& stored, const std::wstring& root);

// Whether an apply whose journal has no "committed" line is done, from its record and the new record.
enum class Outcome {
    Undo,          // not committed: put everything back
    Done,          // the record was replaced
    FinishRecord,  // the old record was deleted and the new one not yet renamed (FAT replaces so)
    Unknown,       // neither record can be found: nothing can be decided
};
Outcome OutcomeOf(const Plan& plan, bool recordExists, bool siblingExists);

// What recovery does with one entry of an apply that was not committed, from where its files are.
enum class Undo {
    Nothing,         // the entry never moved
    PutBack,         // the original is in the backup, its place empty: rename it back
    RemoveThenBack,  // the new file is in place and the original in the backup
    RemoveNew,       // a file the apply added
    Mismatch,        // neither the original nor the backup: files were changed behind the apply's back
    KeepBoth,        // the file in place is not the apply's: it stays, the original goes beside it
};
// `placed`: the target is the file the apply put there (same size and last-write time).
Undo UndoFor(const Entry& entry, bool targetExists, bool backupExists, bool placed = true);

// Whether a file's last-write time `found` is the `recorded` one, as the volume keeps it: on FAT (`fat`) local
// time in 2-second steps, which a daylight-saving change or another time zone shifts by whole hours.
bool SameWriteTime(uint64_t recorded, uint64_t found, bool fat);

// Where the original of `target` goes when the user changed the file after a cut: beside it, "a.txt" becoming
// "a (before the update).txt", or "a (before the update 2).txt" for `n` 2 when that one is taken.
std::wstring KeptOriginal(const std::wstring& target, int n);

struct Presence {
    bool target = false;
    bool backup = false;
    bool placed = false;
};
// Whether every entry can be undone from where its files are. When one cannot, nothing is touched: the
// files were changed behind the apply's back. The undo itself runs backwards through the entries, each
// asked again when its turn comes.
bool MatchesPlan(const Plan& plan, const std::vector<Presence>& presence);

// Where the backup of `target` goes: the same relative place under the apply's folder when the target is
// under the extraction folder on the root's volume, else beside the target.
std::wstring BackupPathFor(const std::wstring& target,
                           const std::wstring& relative,
                           const std::wstring& applyFolder,
                           const std::wstring& applyId,
                           bool sameVolume);

// The folders between an existing ancestor and `folder` (itself included) that do not exist yet, parents
// first. Stops at `root`, which exists.
std::vector<std::wstring> MissingFolders(const std::wstring& folder,
                                         const std::wstring& root,
                                         const std::function<bool(const std::wstring&)>& folderExists);

// A file or folder under a folder the swap lists, by its path relative to it (a folder's ends with a
// backslash), with a file's size and last-write time.
struct Listed {
    std::wstring relative;
    uint64_t size = 0;
    uint64_t written = 0;
};

// What the work folder holds beside the originals an apply moved aside.
bool NotABackup(const std::wstring& relative);

// A staged folder whose target does not exist yet: it goes in one rename, with all it holds.
struct WholeFolder {
    std::wstring staged;
    std::wstring target;
};

enum class Recovery { Nothing, Recovered, Failed };

// Where a path of the archive lands: root, "\", the extraction path, the relative path. A separator goes
// between the extraction path and the relative path when neither brings one, so that "Apps" and "a.txt"
// name "Apps\a.txt" and not a sibling "Appsa.txt".
std::wstring PathUnderExtractFolder(const std::wstring& installRoot,
                                    const std::wstring& extractPath,
                                    const std::wstring& relativePath);

// Whether `path` lies inside `folder` (which ends with a backslash), letter case ignored for ASCII.
bool IsInside(const std::wstring& path, const std::wstring& folder);

}  // namespace mInstall
