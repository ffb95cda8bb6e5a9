#include "install/install_plan.h"

#include <algorithm>

#include "support/encoding.h"
#include "support/path.h"

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

// A path as the journal holds it: relative to the root when it lies under it, else as it stands.
std::wstring Stored(const std::wstring& path, const std::wstring& root) {
    const std::wstring base = root + L"\\";
    return IsInside(path, base) ? path.substr(base.size()) : path;
}

std::wstring Resolved(const std::wstring& stored, const std::wstring& root) {
    return stored.empty() || mGlobal::IsRootedPath(stored) ? stored : root + L"\\" + stored;
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
            return Line({L"replace", staged, target, Stored(e.backup, root)});
        case EntryKind::Add:
            return Line({L"add", staged, target, Number(e.size), Number(e.written)});
        case EntryKind::Remove:
            return Line({L"remove", target, Stored(e.backup, root)});
    }
    return std::wstring();
}

// One line of the journal into the plan; false for a line that has no place there.
bool ReadLine(const std::vector<std::wstring>& f, const std::wstring& root, Plan& plan) {
    const std::wstring& kind = f[0];
    const auto path = [&](size_t i) { return Resolved(f[i], root); };
    if (kind == L"committed" && f.size() == 1 && plan.complete) {
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
        else if (kind == L"record" && f.size() == 3 && plan.record.empty())
            plan.record = path(1), plan.recordSibling = path(2);
        else
            return false;
        return true;
    }
    Entry e;
    if (kind == L"apply" && f.size() == 2 && !f[1].empty())
        plan.applyId = f[1];
    else if (kind == L"flag" && f.size() == 2)
        plan.closeFlag = path(1);
    else if (kind == L"folder" && f.size() == 2)
        plan.newFolders.push_back(path(1));
    else if (kind == L"replace" && f.size() == 4)
        plan.entries.push_back({EntryKind::Replace, path(1), path(2), path(3)});
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

bool ParseJournal(const std::string& bytes, const std::wstring& root, Plan& plan) {
    plan = Plan();
    const std::wstring text = mStringTools::Utf16BytesToText(bytes.substr(0, bytes.size() & ~size_t{1}));
    size_t pos = 0;
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
        // A line out of place ends what can be trusted; what came before it stands.
        if (!ReadLine(mStringTools::SplitAt(line, kTab), root, plan))
            break;
    }
    return header;
}

Outcome OutcomeOf(const Plan& plan, bool recordExists, bool siblingExists) {
    if (plan.committed)
        return Outcome::Done;
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
            if (backupExists)
                return targetExists ? Undo::RemoveThenBack : Undo::PutBack;
            return targetExists ? Undo::Nothing : Undo::Mismatch;
        case EntryKind::Remove:
            if (backupExists)
                return targetExists ? Undo::RemoveThenBack : Undo::PutBack;
            return Undo::Nothing;  // a leftover that was never there, or not yet moved
    }
    return Undo::Mismatch;
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

}  // namespace mInstall
