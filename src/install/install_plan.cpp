#include "install/install_plan.h"

#include <algorithm>
#include <cwchar>
#include <string_view>

#include "support/encoding.h"
#include "support/path.h"

namespace mInstall {
namespace {

constexpr wchar_t kHeader[] = L"OVPatcher journal 2";
constexpr wchar_t kTab = L'\t';

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

using mStringTools::AsciiLower;
using mStringTools::EqualsAsciiNoCase;
using mStringTools::HasAsciiNoCase;

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
        else if (kind == L"record" && f.size() == 3 && plan.record.empty() && EqualsAsciiNoCase(f[1], kRecordPlace) &&
                 EqualsAsciiNoCase(path(2), ApplyFolder(root, plan.applyId) + L"record"))
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
             HasAsciiNoCase(f[1], f[1].size() - 17, L"\\data\\patch_close"))
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
    return path.size() > folder.size() && HasAsciiNoCase(path, 0, folder);
}

bool NotABackup(const std::wstring& relative) {
    return relative == kOwnMark || relative.rfind(L"new\\", 0) == 0 || relative.rfind(L"journal.", 0) == 0;
}

}  // namespace mInstall
