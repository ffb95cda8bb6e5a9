// What every ovpatch verb shares: failures with their exit codes, text and file reading, the patch read
// through the core's reader, and the command-line walk. Each verb lives in a file of its own.
#pragma once

#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/ovpatch.h"
#include "container/patch_container.h"
#include "container/xml_node.h"

namespace ovpatch {

// Ends the command with its exit code; Run prints the message.
struct Failure {
    int code;
    std::string message;
};

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& bytes);

// The whole file; `what` names it in the message when it cannot be read.
std::string ReadWhole(const std::string& path, const char* what);

// A text file decoded as the maker's file loader decodes it: UTF-16 with its byte-order mark, UTF-8
// (its mark dropped), otherwise Windows-1252; like the system's conversion, text stops at a zero byte.
std::wstring DecodeText(std::string bytes);

// The patch file read through the core's reader.
class FileSource final : public mGlobal::PatchSource {
  public:
    explicit FileSource(const std::string& path);
    int64_t Size() override { return size_; }
    // From now on the file ends at `size`, as if the rest were not there.
    void Limit(int64_t size) { size_ = std::min(size_, size); }
    void ReadAt(int64_t offset, char* buffer, size_t count) override;

  private:
    std::ifstream in_;
    int64_t size_ = 0;
};

// The descriptor of a patch, or a kNotAPatch failure naming `path`.
cXmlNode ReadDescriptor(FileSource& source, const std::string& path);

// One language block of a message table, with the message keys it has no text for: the patcher would
// show an empty box or button for those.
struct LanguageBlock {
    std::wstring name;
    int32_t messages = 0;
    std::vector<std::wstring> missing;
};

// The blocks of a message table: the content of a language file's `messages` element, or of a
// descriptor's `Strings` element.
std::vector<LanguageBlock> CheckMessageTable(const std::wstring& table);

// The time SOURCE_DATE_EPOCH gives, in seconds since 1970; nothing when it is not set, a kUsage failure
// when it is no count of seconds.
std::optional<int64_t> SourceDateEpoch();

// Whether `text` is a patch identifier as the window writes it: 14 digits, yyyymmddhhnnss.
inline bool IsPatchIdentifier(const std::wstring& text) {
    return text.size() == 14 && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// The files and folders of a 7z archive as 7-Zip for Linux ("7zz") lists them.
struct ArchiveEntry {
    std::string path;
    int64_t size = 0;
    bool folder = false;
    bool link = false;  // a symbolic link, stored as one
    int64_t packed = -1;  // compressed, where the archive stores the file in a stream of its own (-ms=off)
};
// Nothing when 7zz is not installed; a kRefused failure with 7-Zip's reason when it cannot read the archive.
// `shownAs` names it in that message (the archive itself when empty).
// `switches` go to 7zz before the archive (exclusions, for example).
std::optional<std::vector<ArchiveEntry>> ListArchive(const std::string& path,
                                                     const std::string& shownAs = {},
                                                     const std::vector<std::string>& switches = {});

// A kRefused failure with 7-Zip's first error when its test of the archive fails: damaged data, or data
// that needs a password (a dummy one is given, so that 7zz fails instead of asking). 7zz must be installed.
void TestArchive(const std::string& path);

// Ctrl+C, a stop request or a closed terminal, caught for as long as the object lives: the work stops at
// the next ThrowIfStopped, or a running 7zz is ended, so that temporary files and folders are removed on
// the way out; Run then ends the program with that signal.
class StopGuard {
  public:
    StopGuard();
    ~StopGuard();
    StopGuard(const StopGuard&) = delete;
    StopGuard& operator=(const StopGuard&) = delete;

  private:
    struct sigaction old_[3];
};
// The signal caught, or 0.
int StopSignal();
void ThrowIfStopped();

// Progress of a long step, told on standard error while it works: nothing for the first seconds, so that
// a small tree prints nothing extra, then a line every few seconds, or a bar redrawn in place when standard
// error is a terminal. Standard output is never touched: scripts read it. OVPATCH_PROGRESS_SECONDS sets
// both waits (0 tells every step).
class Progress {
  public:
    // Tells nothing when `err` is null (--quiet). `what` ends the line: "files compared".
    Progress(std::ostream* err, std::string verb, std::string what, size_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Step(size_t done);
    // A line told at once, when waits are 0 or `large`: what a long step is about to do.
    void Note(const std::string& text, bool large);

  private:
    std::ostream* err_;
    std::string verb_, what_;
    size_t total_;
    double wait_, every_;
    double start_, last_ = -1;
    bool terminal_, bar_ = false;
};
// The stream progress goes to: `err`, or null when quiet.
inline std::ostream* ProgressTo(std::ostream& err, bool quiet) {
    return quiet ? nullptr : &err;
}
// "1,200"
std::string Grouped(uintmax_t number);

// Whether `program` is found on the PATH.
bool OnPath(const std::string& program);
// The program's standard output and error together, and its exit status; it runs in `folder` when one is
// given, with an empty input, so that it can never stop to ask for anything.
std::string RunCaptured(const std::vector<std::string>& argv, int& status, const std::string& folder = {});
inline constexpr const char* kNoSevenZip = "7zz (Debian package 7zip) is not installed";

// Walks a verb's arguments: "--name value", "--name=value", "-o" for "--output", and plain operands.
class Args {
  public:
    // `args[0]` is the verb; the walk starts after it.
    explicit Args(const std::vector<std::string>& args) : args_(args) {}
    // Moves to the next argument; false at the end.
    bool Next();
    // Whether the current argument is an option; Name() is then its name without "--".
    bool IsOption() const { return option_; }
    const std::string& Name() const { return name_; }
    // The current plain operand.
    const std::string& Operand() const { return name_; }
    // The option's value, inline or the next argument.
    std::string Value();
    bool HasInlineValue() const { return inline_.has_value(); }
    // The argument after the current one, not taken; null at the end.
    const std::string* Peek() const { return next_ < args_.size() ? &args_[next_] : nullptr; }
    [[noreturn]] void Unknown() const;

  private:
    const std::vector<std::string>& args_;
    size_t next_ = 1;
    bool option_ = false;
    std::string name_;
    std::optional<std::string> inline_;
};

// What diff found: every change in the order it is told, the counts, and notes for the maintainer.
struct DiffCount {
    size_t files = 0;
    uintmax_t bytes = 0;
    void Add(uintmax_t size) {
        ++files;
        bytes += size;
    }
};
struct DiffChange {
    std::string change;  // added, changed, removed, kept (a folder) or left (a folder)
    std::string path;    // "\"-separated, as the release spells it
    bool folder = false;
    std::string why;  // for kept and left folders, and how a changed file travels when deltas are made
    // With deltas made, for a changed file: "whole", "delta", or "both" (the whole file kept as a fallback);
    // the packed sizes of the file and of its delta, where it was large enough for one.
    std::string travels;
    uintmax_t packedWhole = 0, packedDelta = 0;
};
struct DiffReport {
    std::vector<DiffChange> changes;
    DiffCount added, changed, removed, unchanged;
    size_t foldersAdded = 0, foldersLeft = 0;
    std::vector<std::string> notes;
    bool compared = false;  // the two releases were read and compared: the report is whole
};
std::string DiffText(const DiffReport& report);
// One JSON object; `archive` and `settings` are null when nothing was written.
std::string DiffJson(const DiffReport& report, const std::string* archive, const std::string* settings);

// Whether changed files travel as deltas, and whether each such file also travels whole, for installations
// whose copy is not the one the delta was made from.
struct DeltaOptions {
    bool make = false;
    bool keepWhole = false;
};

// What changed from the release in `oldDir` to the one in `newDir`: the new and changed files packed into
// `archive` with 7zz, the changes told in `report`, and the settings a build needs ("name", "value" in
// the settings file's words). Refuses (kNothingToShip) when there is nothing to ship, and (kRefused) a
// NEW whose suite version is older than OLD's unless `allowDowngrade`. Progress goes to `progress` (null:
// none), named by `verb`.
std::vector<std::pair<std::string, std::string>> DiffReleases(const std::string& oldDir,
                                                              const std::string& newDir,
                                                              const std::string& archive,
                                                              bool allowDowngrade,
                                                              DiffReport& report,
                                                              std::ostream* progress = nullptr,
                                                              const char* verb = "diff",
                                                              const DeltaOptions& deltas = {});

// Packs `entries` (paths as 7zz lists them, "/"-separated, relative to `folder`) into the new archive
// `archive` with 7zz, with file times later than `latest` (when given) set back to it, and refuses (kRefused) it unless
// its listing holds those entries with those sizes and no link: what changed on the disk since the entries were made is
// not shipped unseen.
void PackChecked(const std::string& folder,
                 const std::vector<ArchiveEntry>& entries,
                 const std::string& archive,
                 std::optional<int64_t> latest = std::nullopt);
// The same from several folders, packed one after the other into the one archive.
struct PackSource {
    std::string folder;
    std::vector<ArchiveEntry> entries;
};
void PackChecked(const std::vector<PackSource>& sources,
                 const std::string& archive,
                 std::optional<int64_t> latest = std::nullopt);

// The file an archive entry ("/"-separated) rebuilds when it is a delta, "/"-separated; empty otherwise.
std::string DeltaTargetOf(const std::string& archivePath);

int BuildCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int InspectCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int DiffCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int PlanCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `text` (UTF-8) as a JSON string, quotes included; control characters escaped.
std::string Json(const std::string& text);

}  // namespace ovpatch
