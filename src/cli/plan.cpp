// ovpatch plan: what a patch would do to an installation, decided by the patcher's own core, without
// writing to the installation.
#include <locale.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

#include "cli/common.h"
#include "cli/system.h"
#include "install/delta.h"
#include "install/install_plan.h"
#include "patcher/apply.h"
#include "patcher/install_check.h"
#include "patcher/strings.h"
#include "support/encoding.h"
#include "support/path.h"
#include "support/sha256.h"

namespace ovpatch {
namespace {

// Where the archive would hold the installation's record: its path under the extraction folder, or empty
// when the extraction folder does not hold it.
std::wstring RecordInArchive(const std::wstring& root, const std::wstring& extractPath) {
    std::wstring base = root + L"\\" + extractPath;
    if (base.back() != L'\\' && base.back() != L'/')
        base += L'\\';
    const std::wstring record = root + mApplyPatch::kVersionFile;
    if (record.size() <= base.size() || FoldCase(record.substr(0, base.size())) != FoldCase(base))
        return {};
    return record.substr(base.size());
}

namespace fs = std::filesystem;
using mInstallCheck::Verdict;

// The installation on this system, asked with the Windows paths the patcher builds from its root.
class Installation {
  public:
    Installation(fs::path folder, std::wstring root) : folder_(std::move(folder)), root_(std::move(root)) {}
    const std::wstring& root() const { return root_; }

    // The file a Windows path names, found as Windows finds it (letter case aside); nothing when the path
    // lies outside the installation or names nothing.
    std::optional<fs::path> Find(const std::wstring& windowsPath) const {
        if (!Inside(windowsPath))
            return std::nullopt;
        const size_t rest = root_.size() + 1;
        fs::path at = folder_;
        std::error_code ec;
        for (const std::wstring& part : mStringTools::SplitAt(windowsPath.substr(rest), L'\\')) {
            for (const std::wstring& name : mStringTools::SplitAt(part, L'/')) {
                if (name.empty() || name == L".")
                    continue;
                if (name == L"..") {
                    if (at == folder_)
                        return std::nullopt;
                    at = at.parent_path();
                    continue;
                }
                const fs::path exact = at / Utf8(name);
                if (fs::exists(exact, ec)) {
                    at = exact;
                    continue;
                }
                std::optional<fs::path> found;
                if (fs::is_directory(at, ec))
                    for (const auto& entry : fs::directory_iterator(at, ec))
                        if (FoldCase(Wide(entry.path().filename().string())) == FoldCase(name)) {
                            found = entry.path();
                            break;
                        }
                if (!found)
                    return std::nullopt;
                at = *found;
            }
        }
        return at;
    }
    // Whether a path starts with the root and a separator ("\\" or "/", as the system takes either).
    bool Inside(const std::wstring& windowsPath) const {
        return windowsPath.size() > root_.size() + 1 &&
               FoldCase(windowsPath.substr(0, root_.size())) == FoldCase(root_) &&
               (windowsPath[root_.size()] == L'\\' || windowsPath[root_.size()] == L'/');
    }
    bool FileExists(const std::wstring& windowsPath) const {
        std::error_code ec;
        const auto path = Find(windowsPath);
        return path && fs::is_regular_file(*path, ec);
    }
    std::wstring LoadText(const std::wstring& windowsPath) const {
        const auto path = Find(windowsPath);
        return path ? DecodeText(ReadWhole(path->string(), "installation file")) : std::wstring();
    }

  private:
    fs::path folder_;
    std::wstring root_;
};

using ovpatch::Json;
std::string Json(const std::wstring& text) {
    return Json(Utf8(text));
}

// The files an archive lists, by their path with "\" separators; `switches` as ListArchive takes them.
// `bytes`, when given, receives the size of them all.
std::vector<std::wstring> ListedFiles(const std::string& archive,
                                      const std::vector<std::string>& switches = {},
                                      uintmax_t* bytes = nullptr) {
    const auto entries = ListArchive(archive, "of the patch", switches);
    if (!entries)
        throw Failure{kToolMissing, std::string(kNoSevenZip) + ": install it (apt-get install 7zip)"};
    std::vector<std::wstring> files;
    for (const ArchiveEntry& e : *entries) {
        if (e.folder)
            continue;
        if (bytes)
            *bytes += static_cast<uintmax_t>(std::max<int64_t>(e.size, 0));
        std::wstring path = Wide(e.path);
        for (wchar_t& c : path)
            if (c == L'/')
                c = L'\\';
        files.push_back(path);
    }
    return files;
}

enum class Fate { Added, Replaced, Unchanged, IfExists, Excluded, Blocked, Delta, Whole };
constexpr int kFates = 8;
const char* FateName(Fate fate) {
    static const char* const kNames[] = {"added",    "replaced", "unchanged",       "ifexists",
                                         "excluded", "blocked",  "patched (delta)", "replaced (whole)"};
    return kNames[static_cast<int>(fate)];
}

// The SHA-256 of a file, read in pieces; nothing when it cannot be read.
std::optional<mHash::Digest> FileSha256(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    mHash::Sha256 hash;
    std::vector<char> buffer(1 << 16);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        hash.Add(buffer.data(), static_cast<size_t>(in.gcount()));
    if (in.bad())
        return std::nullopt;
    return hash.Finish();
}

struct FilePlan {
    std::wstring path;  // in the archive
    Fate fate;
};
struct DeletePlan {
    std::wstring item;     // placeholders expanded
    std::wstring written;  // as the patch holds it
    std::optional<bool> exists;
    bool folder = false;   // the patcher deletes files only: it leaves a folder
    bool expands = false;  // a placeholder past the root changed the path: it names another file
};
struct Plan {
    std::wstring patchVersion, suiteVersion;
    std::optional<Verdict> verdict;  // nothing: the patch is not a patch
    std::wstring messageKey, messageText;
    std::wstring why;  // for CantUpdate: the piece of the installation that is missing
    std::vector<FilePlan> files;
    std::vector<DeletePlan> deletes;
    std::vector<std::wstring> commands;
    std::optional<std::wstring> recordBefore, recordAfter;
    // A delta the patcher would refuse: the installed file it names, and why.
    std::wstring deltaRefused, deltaWhy;
    bool fits() const {
        return verdict && (*verdict == Verdict::Fits || *verdict == Verdict::UpdateAlreadyDone) && deltaRefused.empty();
    }
};

// What the apply does with each file of the archive, as the archiver and the swap would decide it.
void PlanFiles(Plan& plan,
               const cXmlNode& descriptor,
               const Installation& install,
               FileSource& source,
               std::optional<std::wstring>& brought,
               std::ostream* progress) {
    const TempFolder temp(fs::temp_directory_path());
    const fs::path archive = temp.path() / "patch.dat";
    {
        const mGlobal::PatchBlock block = mGlobal::LocatePatchBlock(source, 1);
        std::ofstream out(archive, std::ios::binary);
        std::vector<char> buffer(1 << 20);
        for (int64_t done = 0; done < block.length;) {
            const size_t count = static_cast<size_t>(std::min<int64_t>(block.length - done, buffer.size()));
            source.ReadAt(block.offset + done, buffer.data(), count);
            out.write(buffer.data(), static_cast<std::streamsize>(count));
            done += static_cast<int64_t>(count);
        }
        if (!out.flush())
            throw Failure{kWriteFailed, "cannot write " + archive.string()};
    }
    const std::string archivePath = archive.string();
    const fs::path extracted = temp.path() / "new";
    uintmax_t bytes = 0;
    const std::vector<std::wstring> all = ListedFiles(archivePath, {}, &bytes);
    Progress told(progress, "plan", "files compared", all.size());
    // Unpacking a large archive takes time and room in the temporary folder: the user learns how much
    // before it starts, not when the disk is full.
    constexpr uintmax_t kLarge = uintmax_t{256} << 20;
    told.Note("unpacking " + Grouped(bytes) + " bytes of files into " + temp.path().string(), bytes >= kLarge);
    SevenZip({"x", "-y", "-bd", "-bso0", "-bsp0", "-o" + extracted.string(), archivePath});

    // The exclusion list the patcher writes, given to the archiver as the patcher gives it (recursive,
    // letter case ignored as on Windows).
    const std::wstring extractPath = descriptor.ChildValue(L"ExtractPath");
    const std::wstring exclusions =
        mApplyPatch::ExclusionListText(descriptor.ChildValue(L"FileFlags"), install.root(), extractPath,
                                       [&](const std::wstring& path) { return install.FileExists(path); });
    std::set<std::wstring> kept;
    if (exclusions.empty()) {
        for (const std::wstring& path : all)
            kept.insert(path);
    } else {
        std::string list = Utf8(exclusions);
        for (char& c : list)
            if (c == '\\')
                c = '/';
        std::ofstream(temp.path() / "exlude.txt", std::ios::binary) << list;
        const std::string listFile = (temp.path() / "exlude.txt").string();
        for (const std::wstring& path : ListedFiles(archivePath, {"-r", "-ssc-", "-scsUTF-8", "-x@" + listFile}))
            kept.insert(path);
    }
    std::set<std::wstring> ifExists;
    for (const std::wstring& path : mApplyPatch::IfExistsEntries(descriptor.ChildValue(L"FileFlags")))
        ifExists.insert(FoldCase(path));

    const std::wstring record = install.root() + mApplyPatch::kVersionFile;
    const std::wstring recordInArchive = RecordInArchive(install.root(), extractPath);
    // A file that travels as a delta and whole is told once, by its delta.
    std::set<std::wstring> deltaOf;
    for (const std::wstring& path : all)
        if (const std::wstring target = mDelta::TargetOfEntry(path); !target.empty())
            deltaOf.insert(FoldCase(target));
    size_t compared = 0;
    for (const std::wstring& path : all) {
        told.Step(++compared);
        std::string local = Utf8(path);
        for (char& c : local)
            if (c == '\\')
                c = '/';
        const fs::path staged = extracted / local;
        const std::wstring target = mDelta::TargetOfEntry(path);
        Fate fate;
        if (target.empty() && deltaOf.count(FoldCase(path)) && kept.count(path)) {
            continue;
        } else if (!target.empty() && kept.count(path)) {
            // The patcher rebuilds the file from the installed copy, and only from the copy the delta was made
            // from; the file travelling whole as well takes that copy's place otherwise.
            const std::wstring where = mInstall::PathUnderExtractFolder(install.root(), extractPath, target);
            const auto installed = install.Find(where);
            mDelta::Header header;
            const std::string head = ReadWhole(staged.string(), "archive file").substr(0, mDelta::kHeaderSize);
            std::wstring why;
            std::error_code ec;
            if (!mDelta::ReadHeader(reinterpret_cast<const uint8_t*>(head.data()), head.size(), header))
                why = L"the archive's " + path + L" is no delta";
            else if (!installed || !fs::is_regular_file(*installed, ec))
                why = L"the file the delta rebuilds is missing";
            else if (const auto digest =
                         fs::file_size(*installed, ec) == header.oldSize ? FileSha256(*installed) : std::nullopt;
                     !digest || std::memcmp(digest->data(), header.oldHash, 32) != 0)
                why = L"the installed file is not the one the delta was made from (edited, another version or damaged)";
            if (why.empty()) {
                fate = Fate::Delta;
            } else if (kept.count(target)) {
                fate = Fate::Whole;
            } else {
                fate = Fate::Blocked;
                if (plan.deltaRefused.empty()) {
                    plan.deltaRefused = where;
                    plan.deltaWhy = why;
                }
            }
            plan.files.push_back({target, fate});
            continue;
        } else if (!kept.count(path)) {
            fate = ifExists.count(FoldCase(path)) ? Fate::IfExists : Fate::Excluded;
        } else {
            if (!recordInArchive.empty() && FoldCase(path) == FoldCase(recordInArchive))
                brought = DecodeText(ReadWhole(staged.string(), "archive file"));
            std::error_code ec;
            const auto target = install.Find(mInstall::PathUnderExtractFolder(install.root(), extractPath, path));
            if (!target)
                fate = Fate::Added;
            else if (fs::is_directory(*target, ec))
                fate = Fate::Blocked;
            else if (Wide(target->filename().string()) != mGlobal::FileNameOnly(path))
                fate = Fate::Replaced;  // the same bytes, but the swap gives the file the archive's name
            else
                fate = SameContent(target->string(), staged.string()) ? Fate::Unchanged : Fate::Replaced;
        }
        plan.files.push_back({path, fate});
    }
}

Plan MakePlan(const std::string& patchPath,
              const std::string& folder,
              const std::wstring& windowsPath,
              std::ostream* progress) {
    Plan plan;
    FileSource source(patchPath);
    std::optional<cXmlNode> read;
    try {
        read.emplace(Wide(mGlobal::ReadPatchBlock(source, 0, mGlobal::kMaxInMemoryBlock)));
    } catch (const SysError&) {
    }
    if (!read || read->Name().empty()) {
        plan.messageText = L"Invalid patch file";
        return plan;
    }
    const cXmlNode& descriptor = *read;
    plan.patchVersion = descriptor.ChildValue(L"PatchVersion");
    plan.suiteVersion = descriptor.ChildValue(L"ORVVersion");
    const Installation install(folder, windowsPath.empty() ? L"%ORV%" : windowsPath);

    // The texts an English-speaking user sees; a descriptor they cannot be read from ends the start-up.
    int32_t stringsPos = 0;
    const auto str = [&](const std::wstring& key) { return mPatchStrings::GetString(descriptor, stringsPos, key); };
    try {
        const mPatchStrings::LanguageChoice choice = mPatchStrings::ChooseLanguage(descriptor.XmlData, L"en-US");
        stringsPos = choice.StringsPos;
        mPatchStrings::UpdateInfoText(descriptor, choice.LangCode);
    } catch (const SysError&) {
        plan.messageKey = L"CantUpdate";
        plan.messageText = str(plan.messageKey);
        return plan;
    }
    std::error_code ec;
    if (!fs::is_regular_file(fs::path(folder) / "Orvana.exe", ec)) {
        // Not an installation: the patcher asks for another folder.
        plan.messageKey = L"OrvNotFound";
        plan.messageText = str(plan.messageKey);
        return plan;
    }
    bool archiver = true;
    for (const wchar_t* file : mInstallCheck::kArchiverFiles)
        archiver = archiver && install.FileExists(install.root() + file);
    const std::wstring record = install.root() + mApplyPatch::kVersionFile;
    if (archiver && install.FileExists(record))
        plan.recordBefore = install.LoadText(record);
    plan.verdict = mInstallCheck::CheckInstallation(descriptor, archiver,
                                                    plan.recordBefore ? &*plan.recordBefore : nullptr, LowerCase);
    // The patcher's box says only that it cannot update; whoever runs the plan needs to know what to mend.
    const auto shown = [](const std::wstring& file) { return Utf8(file.substr(1)); };
    switch (*plan.verdict) {
        case Verdict::NoArchiver: {
            std::string missing;
            for (const wchar_t* file : mInstallCheck::kArchiverFiles)
                if (!install.FileExists(install.root() + file))
                    missing += (missing.empty() ? "" : " and ") + shown(file);
            plan.why = Wide(missing + (missing.find(" and ") == std::string::npos ? " is missing" : " are missing"));
            break;
        }
        case Verdict::NoVersionFile:
            plan.why = Wide(shown(mApplyPatch::kVersionFile) + " is missing");
            break;
        case Verdict::BadVersionFile: {
            const std::wstring root = plan.recordBefore ? cXmlNode(*plan.recordBefore).Name() : std::wstring();
            plan.why = Wide(shown(mApplyPatch::kVersionFile)) +
                       (root.empty() ? L" has no root element"
                                     : L" has the root element <" + root + L">, not <OrvanaVersion>");
            break;
        }
        default:
            break;
    }
    if (const wchar_t* key = mInstallCheck::MessageFor(*plan.verdict).key) {
        plan.messageKey = key;
        plan.messageText = mInstallCheck::VerdictText(*plan.verdict, descriptor, str(key));
    }
    if (!plan.fits())
        return plan;

    std::optional<std::wstring> brought;
    PlanFiles(plan, descriptor, install, source, brought, progress);
    if (!plan.deltaRefused.empty()) {
        // The patcher names the file in its box, after the text.
        plan.messageKey = L"CantUpdate";
        plan.messageText = str(plan.messageKey);
        plan.why = plan.deltaRefused + L": " + plan.deltaWhy;
        return plan;
    }
    // The work folder is the patcher's own and unknown here: "%TMPFLD%" stays as written.
    const mApplyPatch::Placeholders values{install.root(), L"%TMPFLD%", descriptor.ChildValue(L"PatchLang")};
    for (const std::wstring& item : mApplyPatch::SplitList(descriptor.ChildValue(L"DelAfter"))) {
        const std::wstring path = mApplyPatch::Substitute(item, values);
        const auto found = install.Find(path);
        DeletePlan d{path, item};
        if (found || install.Inside(path))
            d.exists = found.has_value();
        std::error_code ec;
        d.folder = found && fs::is_directory(*found, ec);
        // The root is what "%ORV%" is there for; any other placeholder in a path changes the file it names.
        const bool rooted = item.compare(0, 5, L"%ORV%") == 0;
        d.expands = path != (rooted ? values.installRoot + item.substr(5) : item);
        plan.deletes.push_back(d);
    }
    for (const std::wstring& item : mApplyPatch::SplitList(descriptor.ChildValue(L"RunAfter")))
        plan.commands.push_back(mApplyPatch::Substitute(item, values));
    plan.recordAfter = mApplyPatch::NewVersionRecord(plan.patchVersion, plan.suiteVersion, plan.recordBefore, brought);
    return plan;
}

void PrintText(const Plan& plan, std::ostream& out) {
    out << "patch:     " << Utf8(plan.patchVersion) << " for suite version " << Utf8(plan.suiteVersion) << "\n";
    if (!plan.fits()) {
        out << "refused:   " << (plan.messageKey.empty() ? "" : Utf8(plan.messageKey) + ": ") << Utf8(plan.messageText)
            << "\n";
        if (!plan.why.empty())
            out << "because:   " << Utf8(plan.why) << "\n";
        return;
    }
    if (plan.verdict == Verdict::UpdateAlreadyDone)
        out << "asks:      UpdateAlreadyDone: " << Utf8(plan.messageText) << " (this plan is what Yes does)\n";
    else
        out << "fits:      yes\n";
    size_t counts[kFates] = {};
    out << "files:\n";
    for (const FilePlan& f : plan.files) {
        ++counts[static_cast<int>(f.fate)];
        char fate[24];
        std::snprintf(fate, sizeof fate, "%-10s", FateName(f.fate));
        out << "  " << fate << " " << Utf8(f.path) << "\n";
    }
    out << " ";
    for (int i = 0; i < 6; ++i)
        out << " " << counts[i] << " " << FateName(static_cast<Fate>(i)) << (i < 5 ? "," : "");
    // Told only for a patch that carries deltas: the line of every other patch stays as it was.
    for (int i = 6; i < kFates; ++i)
        if (counts[i])
            out << ", " << counts[i] << " " << FateName(static_cast<Fate>(i));
    out << "\n";
    out << "delete after:\n";
    for (const DeletePlan& d : plan.deletes)
        out << "  " << Utf8(d.item)
            << (d.folder    ? "  (folder: not deleted"
                : !d.exists ? "  (outside the installation"
                : *d.exists ? "  (exists"
                            : "  (absent")
            << (d.expands ? "; expanded from " + Utf8(d.written) : "") << ")\n";
    out << "run after:\n";
    for (const std::wstring& command : plan.commands)
        out << "  " << Utf8(command) << "\n";
    const auto record = [&](const char* what, const std::optional<std::wstring>& text) {
        out << what;
        if (!text) {
            out << " (none)\n";
            return;
        }
        out << "\n";
        for (const std::wstring& line : mStringTools::SplitAt(*text, L'\n')) {
            std::string shown = Utf8(line);
            if (!shown.empty() && shown.back() == '\r')
                shown.pop_back();
            if (!shown.empty())
                out << "  " << shown << "\n";
        }
    };
    record("record before:", plan.recordBefore);
    record("record after:", plan.recordAfter ? plan.recordAfter : plan.recordBefore);
}

void PrintJson(const Plan& plan, std::ostream& out) {
    out << "{\"schema\": 1, \"patchVersion\": " << Json(plan.patchVersion) << ", \"suiteVersion\": " << Json(plan.suiteVersion)
        << ", \"fits\": " << (plan.fits() ? "true" : "false") << ", \"message\": ";
    if (plan.messageText.empty() && plan.messageKey.empty())
        out << "null";
    else
        out << "{\"key\": " << (plan.messageKey.empty() ? "null" : Json(plan.messageKey))
            << ", \"text\": " << Json(plan.messageText) << (plan.why.empty() ? "" : ", \"why\": " + Json(plan.why))
            << "}";
    out << ",\n \"files\": [";
    for (size_t i = 0; i < plan.files.size(); ++i)
        out << (i ? ",\n   " : "\n   ") << "{\"path\": " << Json(plan.files[i].path) << ", \"action\": \""
            << FateName(plan.files[i].fate) << "\"}";
    out << "],\n \"delete\": [";
    for (size_t i = 0; i < plan.deletes.size(); ++i)
        out << (i ? ",\n   " : "\n   ") << "{\"path\": " << Json(plan.deletes[i].item) << ", \"exists\": "
            << (!plan.deletes[i].exists   ? "null"
                : *plan.deletes[i].exists ? "true"
                                          : "false")
            << ", \"folder\": " << (plan.deletes[i].folder ? "true" : "false")
            << ", \"written\": " << Json(plan.deletes[i].written)
            << ", \"expands\": " << (plan.deletes[i].expands ? "true" : "false") << "}";
    out << "],\n \"run\": [";
    for (size_t i = 0; i < plan.commands.size(); ++i)
        out << (i ? ", " : "") << Json(plan.commands[i]);
    out << "],\n \"record\": {\"before\": " << (plan.recordBefore ? Json(*plan.recordBefore) : "null")
        << ", \"after\": "
        << (plan.recordAfter    ? Json(*plan.recordAfter)
            : plan.recordBefore ? Json(*plan.recordBefore)
                                : "null")
        << "}}\n";
}

}  // namespace

int PlanCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> operands;
    bool json = false, quiet = false;
    std::string windowsPath;
    Args walk(args);
    while (walk.Next()) {
        if (!walk.IsOption()) {
            operands.push_back(walk.Operand());
        } else if (walk.Name() == "json" && !walk.HasInlineValue()) {
            json = true;
        } else if (walk.Name() == "quiet" && !walk.HasInlineValue()) {
            quiet = true;
        } else if (walk.Name() == "windows-path") {
            windowsPath = walk.Value();
        } else {
            walk.Unknown();
        }
    }
    if (operands.size() != 2)
        throw Failure{kUsage, "plan takes PATCH INSTALLATION"};
    std::error_code ec;
    if (!fs::is_directory(operands[1], ec))
        throw Failure{kUnreadable, "the installation " + operands[1] + " is not a folder"};
    std::wstring root = Wide(windowsPath);
    while (root.size() > 1 && (root.back() == L'\\' || root.back() == L'/'))
        root.pop_back();
    const Plan plan = MakePlan(operands[0], operands[1], root, ProgressTo(err, quiet));
    if (json)
        PrintJson(plan, out);
    else
        PrintText(plan, out);
    return plan.fits() ? kOk : kNotAPatch;
}

}  // namespace ovpatch
