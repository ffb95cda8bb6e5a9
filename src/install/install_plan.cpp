#include "install/install_plan.h"

#include <algorithm>

#include "support/encoding.h"
#include "support/path.h"

namespace mInstall {
namespace {

constexpr wchar_t kHeader[] = L"OVPatcher journal 1";
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

std::wstring EntryLine(const Entry& e) {
    switch (e.kind) {
        case EntryKind::Replace:
            return Line({L"replace", e.staged, e.target, e.backup});
        case EntryKind::Add:
            return Line({L"add", e.staged, e.target});
        case EntryKind::Remove:
            return Line({L"remove", e.target, e.backup});
    }
    return std::wstring();
}

// One line of the journal into the plan; false for a line that has no place there.
bool ReadLine(const std::vector<std::wstring>& f, Plan& plan) {
    const std::wstring& kind = f[0];
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
    if (kind == L"remove" && f.size() == 3 && plan.complete) {
        plan.entries.push_back({EntryKind::Remove, L"", f[1], f[2]});
        return true;
    }
    if (plan.complete)
        return false;
    if (kind == L"flag" && f.size() == 2)
        plan.closeFlag = f[1];
    else if (kind == L"record" && f.size() == 3)
        plan.record = f[1], plan.recordSibling = f[2];
    else if (kind == L"folder" && f.size() == 2)
        plan.newFolders.push_back(f[1]);
    else if (kind == L"replace" && f.size() == 4)
        plan.entries.push_back({EntryKind::Replace, f[1], f[2], f[3]});
    else if (kind == L"add" && f.size() == 3)
        plan.entries.push_back({EntryKind::Add, f[1], f[2], L""});
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
std::wstring BackupFolder(const std::wstring& installRoot) {
    return InstallWorkFolder(installRoot) + L"old\\";
}
std::wstring JournalPath(const std::wstring& installRoot) {
    return InstallWorkFolder(installRoot) + L"journal.txt";
}

std::string JournalText(const Plan& plan) {
    std::wstring text = Line({kHeader});
    // The flag first: even a plan torn half way still says which flag the dead apply left behind.
    if (!plan.closeFlag.empty())
        text += Line({L"flag", plan.closeFlag});
    if (!plan.record.empty())
        text += Line({L"record", plan.record, plan.recordSibling});
    for (const std::wstring& folder : plan.newFolders)
        text += Line({L"folder", folder});
    for (const Entry& e : plan.entries)
        text += EntryLine(e);
    if (plan.complete)
        text += Line({L"end"});
    return mStringTools::TextToUtf16Bytes(text);
}

std::string JournalLines(const std::vector<Entry>& removals) {
    std::wstring text;
    for (const Entry& e : removals)
        text += EntryLine(e);
    return mStringTools::TextToUtf16Bytes(text);
}

std::string CommittedLine() {
    return mStringTools::TextToUtf16Bytes(Line({L"committed"}));
}

bool ParseJournal(const std::string& bytes, Plan& plan) {
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
        if (!ReadLine(mStringTools::SplitAt(line, kTab), plan))
            break;
    }
    return header;
}

Undo UndoFor(const Entry& entry, bool targetExists, bool backupExists) {
    switch (entry.kind) {
        case EntryKind::Add:
            return targetExists ? Undo::RemoveNew : Undo::Nothing;
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

bool MatchesPlan(const Plan& plan, const std::vector<std::pair<bool, bool>>& presence) {
    if (presence.size() != plan.entries.size())
        return false;
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        if (UndoFor(plan.entries[i], presence[i].first, presence[i].second) == Undo::Mismatch)
            return false;
    }
    return true;
}

std::wstring BackupPathFor(const std::wstring& target,
                           const std::wstring& relative,
                           const std::wstring& backupFolder,
                           bool sameVolume) {
    return sameVolume ? backupFolder + relative : target + kOldSuffix;
}

std::vector<std::wstring> MissingFolders(const std::wstring& filePath,
                                         const std::wstring& root,
                                         const std::function<bool(const std::wstring&)>& folderExists) {
    std::vector<std::wstring> missing;
    std::wstring folder = mGlobal::FilePathOnly(filePath);
    while (folder.size() > root.size() && !folderExists(folder)) {
        missing.push_back(folder);
        std::wstring parent = mGlobal::FilePathOnly(folder);
        if (parent.size() >= folder.size())
            break;
        folder = std::move(parent);
    }
    std::reverse(missing.begin(), missing.end());
    return missing;
}

}  // namespace mInstall
