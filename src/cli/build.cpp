// ovpatch build: a patch from an image, an archive and the maker's settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

#include "cli/common.h"
#include "cli/system.h"
#include "maker/descriptor_builder.h"

namespace ovpatch {
namespace {

namespace fs = std::filesystem;
using frmMaker::MakerSettings;

// ---------------------------------------------------------------------------------------------------------
// Settings

struct Entry {
    std::string key;
    std::string value;
};

struct BuildOptions {
    std::string image, archive, langs, settingsFile, from, output, updateInfoFile, oldDir, newDir;
    std::vector<Entry> settings;  // in the order given
};

const std::set<std::string>& SettingKeys() {
    static const std::set<std::string> keys = {"extract-path", "suite-version", "min-patch",         "patch-version",
                                               "lang",         "lang-check",    "update-info",       "run-after",
                                               "delete-after", "file-flag",     "force-menu-restart"};
    return keys;
}

bool ParseYesNo(const std::string& key, const std::string& value) {
    if (value == "yes" || value == "1" || value == "true" || value == "on")
        return true;
    if (value == "no" || value == "0" || value == "false" || value == "off")
        return false;
    throw Failure{kUsage, key + " takes yes or no, not \"" + value + "\""};
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "name = value" lines; blank lines and lines starting with "#" are skipped.
std::vector<Entry> ReadSettingsFile(const std::string& path) {
    std::vector<Entry> entries;
    std::istringstream lines(Utf8(DecodeText(ReadWhole(path, "settings file"))));
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const std::string trimmed = line.substr(first);
        const size_t equals = trimmed.find('=');
        const std::string key = Trim(trimmed.substr(0, equals));
        if (equals == std::string::npos || !SettingKeys().count(key))
            throw Failure{kUsage, path + " line " + std::to_string(number) + ": unknown setting \"" + key + "\""};
        // The value runs to the end of the line: an update text may end in blanks.
        const std::string value = trimmed.substr(equals + 1);
        const size_t start = value.find_first_not_of(" \t");
        entries.push_back({key, start == std::string::npos ? std::string() : value.substr(start)});
    }
    return entries;
}

// Later entries win; a list setting given several times in one source gathers one line per entry.
void ApplyEntries(MakerSettings& s, const std::vector<Entry>& entries, const std::vector<std::wstring>& languages) {
    std::set<std::string> seen;
    for (const Entry& e : entries) {
        const bool first = seen.insert(e.key).second;
        const std::wstring value = Wide(e.value);
        auto line = [&](std::wstring& field) { field = first ? value : field + L"\r\n" + value; };
        if (e.key == "extract-path") {
            s.ExtractPath = value;
        } else if (e.key == "suite-version") {
            s.ORVVersion = value;
        } else if (e.key == "min-patch") {
            s.MinPatchNeeded = value;
        } else if (e.key == "patch-version") {
            s.PatchVersion = value;
        } else if (e.key == "lang") {
            const int32_t entry = frmMaker::FindLanguageEntry(languages, value);
            if (entry < 0) {
                std::string offered;
                for (const auto& name : languages)
                    offered += (offered.empty() ? "" : ", ") + Utf8(name);
                throw Failure{kUsage, "language \"" + e.value + "\" is not in the language file (" + offered + ")"};
            }
            s.LangName = languages[static_cast<size_t>(entry)];
        } else if (e.key == "lang-check") {
            s.LangCheck = ParseYesNo(e.key, e.value);
        } else if (e.key == "force-menu-restart") {
            s.ForceMenuRestart = ParseYesNo(e.key, e.value);
        } else if (e.key == "update-info") {
            line(s.UpdateInfo);
        } else if (e.key == "run-after") {
            line(s.RunAtEnd);
        } else if (e.key == "delete-after") {
            line(s.DelAtEnd);
        } else if (e.key == "file-flag") {
            line(s.FileFlags);
        }
    }
}

// The text of a file as the update field would hold it: lines ended by CR LF, no final line break.
std::wstring UpdateInfoFromFile(const std::string& path) {
    const std::wstring text = DecodeText(ReadWhole(path, "update text"));
    std::wstring field;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r'))
            field += L'\r';
        field += text[i];
    }
    if (field.size() >= 2 && field.compare(field.size() - 2, 2, L"\r\n") == 0)
        field.resize(field.size() - 2);
    return field;
}

std::wstring FreshPatchId() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return frmMaker::FormatPatchId(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                   local.tm_sec);
}

// ---------------------------------------------------------------------------------------------------------
// build

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

std::string RefusalText(frmMaker::BuildRefusal refusal, const std::string& name) {
    switch (refusal) {
        case frmMaker::BuildRefusal::UnusableName:
            return "\"" + name +
                   "\" is not a usable file name: take \\ / : * ? \" < > | % and trailing blanks or dots out of "
                   "the patch version";
        case frmMaker::BuildRefusal::OutputIsImage:
            return "\"" + name + "\" is the image itself: choose another patch version";
        case frmMaker::BuildRefusal::OutputIsArchive:
            return "\"" + name + "\" is the archive itself: choose another patch version";
        case frmMaker::BuildRefusal::EmptyArchive:
            return "the archive is empty: the patch would install nothing";
        default:
            return {};
    }
}

// Copies `from` to the end of `to` through a bounded buffer; returns the count copied.
int64_t CopyInto(std::ofstream& to, const std::string& from) {
    std::ifstream in(from, std::ios::binary);
    if (!in)
        throw Failure{kUnreadable, "cannot read " + from};
    std::vector<char> buffer(256 << 10);
    int64_t copied = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0)
            break;
        to.write(buffer.data(), got);
        copied += got;
    }
    if (in.bad())
        throw Failure{kUnreadable, "cannot read " + from};
    return copied;
}

// Writes under a temporary name in the output folder and renames it into place, so that a failure
// leaves no part of a patch behind and an older patch of that name stays whole until the new one is.
void WritePatchFile(const fs::path& output,
                    const std::string& image,
                    const std::string& archive,
                    const std::string& descriptor) {
    std::string temp = (output.parent_path() / ".ovpatch-XXXXXX").string();
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        throw Failure{kWriteFailed, "cannot create a file in " + output.parent_path().string()};
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    try {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        CopyInto(out, image);
        const int64_t archiveSize = CopyInto(out, archive);
        // Readers take the length as signed: a larger archive could not be found again.
        if (archiveSize > INT32_MAX)
            throw Failure{kRefused, "the archive is larger than 2 GiB - 1 byte, which no patch can carry"};
        out << mGlobal::LengthField(static_cast<uint32_t>(archiveSize)) << mGlobal::DescriptorTrailer(descriptor);
        out.close();
        if (!out)
            throw Failure{kWriteFailed, "cannot write " + temp};
        std::error_code ec;
        fs::rename(temp, output, ec);
        if (ec)
            throw Failure{kWriteFailed, "cannot write " + output.string() + ": " + ec.message()};
    } catch (...) {
        std::remove(temp.c_str());
        throw;
    }
}

int Build(BuildOptions o, std::ostream& out, std::ostream& err) {
    // From two releases: the archive and settings that diff writes, made here in a temporary folder.
    std::optional<TempFolder> diffed;
    std::vector<Entry> diffSettings;
    if (!o.oldDir.empty() || !o.newDir.empty()) {
        if (o.oldDir.empty() || o.newDir.empty() || !o.archive.empty())
            throw Failure{kUsage, "--old and --new go together, in place of --archive"};
        diffed.emplace(fs::temp_directory_path());
        o.archive = (diffed->path() / "data.7z").string();
        for (auto& [key, value] : DiffReleases(o.oldDir, o.newDir, o.archive, err))
            diffSettings.push_back({key, value});
    }
    if (o.image.empty() || o.archive.empty() || o.output.empty())
        throw Failure{kUsage, "build needs --image, --archive (or --old and --new) and -o (see ovpatch --help)"};
    std::error_code ec;
    if (!fs::is_regular_file(o.image, ec))
        throw Failure{kUnreadable, "the image " + o.image + " is not a file"};
    if (!fs::is_regular_file(o.archive, ec))
        throw Failure{kUnreadable, "the archive " + o.archive + " is not a file"};
    if (!fs::is_directory(o.output, ec))
        throw Failure{kWriteFailed, "the output folder " + o.output + " does not exist"};

    const std::string langs = o.langs.empty() ? (fs::path(o.image).parent_path() / "PatchLang.xml").string() : o.langs;
    const std::wstring langText = DecodeText(ReadWhole(langs, "language file"));
    const std::vector<std::wstring> languages = frmMaker::ListLanguages(langText);
    if (languages.empty())
        throw Failure{kUnreadable, "no language found in " + langs};

    // The window's defaults, then what a dropped patch brings, then the settings file, then the options.
    MakerSettings s;
    s.LangName = languages.front();
    s.LangCheck = true;
    s.PatchVersion = FreshPatchId();
    if (!o.from.empty()) {
        FileSource source(o.from);
        frmMaker::ApplyImported(s, frmMaker::ImportFromDescriptor(ReadDescriptor(source, o.from)), languages);
    }
    ApplyEntries(s, diffSettings, languages);
    if (!o.settingsFile.empty())
        ApplyEntries(s, ReadSettingsFile(o.settingsFile), languages);
    ApplyEntries(s, o.settings, languages);
    if (!o.updateInfoFile.empty())
        s.UpdateInfo = UpdateInfoFromFile(o.updateInfoFile);
    if (s.ORVVersion.empty())
        throw Failure{kUsage, "--suite-version is required: there is no running installation to read it from"};

    const std::wstring name = frmMaker::OutputFileName(s.PatchVersion, s.LangName, s.LangCheck);
    const fs::path output = fs::path(o.output) / Utf8(name);
    frmMaker::BuildFacts facts;
    facts.outputIsImage = SameFile(output, o.image);
    facts.outputIsArchive = SameFile(output, o.archive);
    facts.archiveSize = static_cast<int64_t>(fs::file_size(o.archive, ec));
    const frmMaker::BuildRefusal refusal = frmMaker::CheckBuild(name, facts);
    if (refusal != frmMaker::BuildRefusal::None)
        throw Failure{kRefused, "no patch written: " + RefusalText(refusal, Utf8(name))};

    WritePatchFile(output, o.image, o.archive, Utf8(frmMaker::BuildDescriptor(s, langText)));
    out << output.string() << "\n";
    err << "ovpatch: sign.bat is never run by ovpatch; sign " << Utf8(name) << " yourself if your patches are signed\n";
    return kOk;
}

BuildOptions ParseBuild(const std::vector<std::string>& args) {
    BuildOptions o;
    Args walk(args);
    while (walk.Next()) {
        if (!walk.IsOption())
            walk.Unknown();
        const std::string& name = walk.Name();
        if (name == "all-languages" || name == "force-menu-restart") {
            walk.NoValue();
            o.settings.push_back(
                {name == "all-languages" ? "lang-check" : name, name == "all-languages" ? "no" : "yes"});
            continue;
        }
        std::string* file = name == "image"              ? &o.image
                            : name == "archive"          ? &o.archive
                            : name == "langs"            ? &o.langs
                            : name == "settings"         ? &o.settingsFile
                            : name == "from"             ? &o.from
                            : name == "output"           ? &o.output
                            : name == "update-info-file" ? &o.updateInfoFile
                            : name == "old"              ? &o.oldDir
                            : name == "new"              ? &o.newDir
                                                         : nullptr;
        if (file)
            *file = walk.Value();
        else if (SettingKeys().count(name))
            o.settings.push_back({name, walk.Value()});
        else
            walk.Unknown();
    }
    return o;
}

}  // namespace

int BuildCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return Build(ParseBuild(args), out, err);
}

}  // namespace ovpatch
