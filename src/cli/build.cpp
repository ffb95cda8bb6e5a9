// ovpatch build: a patch from an image, an archive and the maker's settings. Every check runs before
// anything is written, the cheap ones (sizes, headers) before 7-Zip reads the archive.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <filesystem>
#include <ostream>
#include <set>
#include <sstream>

#include "cli/common.h"
#include "cli/system.h"
#include "container/archive_header.h"
#include "container/patch_container.h"
#include "maker/descriptor_builder.h"
#include "patcher/strings.h"

namespace ovpatch {
namespace {

namespace fs = std::filesystem;
using frmMaker::MakerSettings;

// ---------------------------------------------------------------------------------------------------------
// Options and settings: one table for the command line and the settings file

enum class Kind { Path, Value, Switch };

struct BuildOption {
    const char* name;
    Kind kind;
};

constexpr BuildOption kOptions[] = {
    {"image", Kind::Path},          {"archive", Kind::Path},         {"output", Kind::Path},
    {"langs", Kind::Path},          {"from", Kind::Path},            {"settings", Kind::Path},
    {"update-info-file", Kind::Path}, {"suite-version", Kind::Value}, {"patch-version", Kind::Value},
    {"min-patch", Kind::Value},     {"lang", Kind::Value},           {"extract-path", Kind::Value},
    {"update-info", Kind::Value},   {"run-after", Kind::Value},      {"delete-after", Kind::Value},
    {"file-flag", Kind::Value},     {"lang-check", Kind::Switch},    {"all-languages", Kind::Switch},
    {"force-menu-restart", Kind::Switch}, {"force", Kind::Switch},   {"quiet", Kind::Switch},
    {"old", Kind::Path},            {"new", Kind::Path},             {"allow-downgrade", Kind::Switch},
    {"delta", Kind::Switch},        {"keep-whole", Kind::Switch},
};

const BuildOption* FindOption(const std::string& name) {
    for (const BuildOption& o : kOptions) {
        if (name == o.name)
            return &o;
    }
    return nullptr;
}

struct Entry {
    std::string key;
    std::string value;
};

std::optional<bool> YesNo(const std::string& value) {
    if (value == "yes" || value == "1" || value == "true" || value == "on")
        return true;
    if (value == "no" || value == "0" || value == "false" || value == "off")
        return false;
    return std::nullopt;
}

bool ParseYesNo(const std::string& key, const std::string& value) {
    if (const auto yes = YesNo(value))
        return *yes;
    throw Failure{kUsage, key + " takes yes or no, not \"" + value + "\""};
}

std::vector<Entry> ParseBuild(const std::vector<std::string>& args) {
    std::vector<Entry> entries;
    Args walk(args);
    while (walk.Next()) {
        const BuildOption* option = walk.IsOption() ? FindOption(walk.Name()) : nullptr;
        if (!option)
            walk.Unknown();
        if (option->kind != Kind::Switch) {
            entries.push_back({option->name, walk.Value()});
            continue;
        }
        // A switch alone is yes; "--name=no", and "--name no" as in a settings file, say otherwise.
        const bool valued = walk.HasInlineValue() || (walk.Peek() && YesNo(*walk.Peek()));
        entries.push_back({option->name, valued ? walk.Value() : "yes"});
    }
    return entries;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "name = value" lines; blank lines and lines starting with "#" are skipped. A relative path is taken
// from the settings file's folder, so that the file means the same from wherever it is used.
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
        const std::string where = path + " line " + std::to_string(number) + ": ";
        const std::string trimmed = line.substr(first);
        const size_t equals = trimmed.find('=');
        if (equals == std::string::npos)
            throw Failure{kUsage, where + "no \"=\" in \"" + trimmed + "\" (settings are written name = value)"};
        const std::string key = Trim(trimmed.substr(0, equals));
        const BuildOption* option = FindOption(key);
        if (!option || key == "settings")
            throw Failure{kUsage, where + "unknown setting \"" + key + "\""};
        // The value runs to the end of the line: an update text may end in blanks.
        const std::string value = trimmed.substr(equals + 1);
        const size_t start = value.find_first_not_of(" \t");
        std::string v = start == std::string::npos ? std::string() : value.substr(start);
        if (option->kind == Kind::Path && !v.empty() && fs::path(v).is_relative())
            v = (fs::path(path).parent_path() / v).string();
        entries.push_back({key, v});
    }
    return entries;
}

// The files and switches of a build, the settings file's first, then the command line's.
struct Inputs {
    std::string image, archive, output, langs, from, oldDir, newDir;
    bool force = false, quiet = false, allowDowngrade = false;
    DeltaOptions deltas;
};

void TakeInputs(Inputs& in, const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
        std::string* path = e.key == "image"     ? &in.image
                            : e.key == "archive" ? &in.archive
                            : e.key == "output"  ? &in.output
                            : e.key == "langs"   ? &in.langs
                            : e.key == "from"    ? &in.from
                            : e.key == "old"     ? &in.oldDir
                            : e.key == "new"     ? &in.newDir
                                                 : nullptr;
        if (path)
            *path = e.value;
        else if (e.key == "force")
            in.force = ParseYesNo(e.key, e.value);
        else if (e.key == "quiet")
            in.quiet = ParseYesNo(e.key, e.value);
        else if (e.key == "allow-downgrade")
            in.allowDowngrade = ParseYesNo(e.key, e.value);
        else if (e.key == "delta")
            in.deltas.make = ParseYesNo(e.key, e.value);
        else if (e.key == "keep-whole")
            in.deltas.keepWhole = ParseYesNo(e.key, e.value);
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

// Later entries win; a list setting given several times in one source gathers one line per entry.
void ApplyEntries(MakerSettings& s, const std::vector<Entry>& entries, const std::vector<std::wstring>& languages) {
    std::set<std::string> seen;
    for (const Entry& e : entries) {
        const bool first = seen.insert(e.key == "update-info-file" ? "update-info" : e.key).second;
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
        } else if (e.key == "all-languages") {
            s.LangCheck = !ParseYesNo(e.key, e.value);
        } else if (e.key == "force-menu-restart") {
            s.ForceMenuRestart = ParseYesNo(e.key, e.value);
        } else if (e.key == "update-info") {
            line(s.UpdateInfo);
        } else if (e.key == "update-info-file") {
            s.UpdateInfo = UpdateInfoFromFile(e.value);
        } else if (e.key == "run-after") {
            line(s.RunAtEnd);
        } else if (e.key == "delete-after") {
            line(s.DelAtEnd);
        } else if (e.key == "file-flag") {
            line(s.FileFlags);
        }
    }
}

// Now, or the time SOURCE_DATE_EPOCH gives (then in UTC), as the window's 14 digits.
std::wstring FreshPatchId() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    if (const auto epoch = SourceDateEpoch()) {
        now = static_cast<std::time_t>(*epoch);
        gmtime_r(&now, &t);
    } else {
        localtime_r(&now, &t);
    }
    return frmMaker::FormatPatchId(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

// What the window accepts as typed but no installation could match: blanks at either end, and
// identifiers other than the 14 digits the window itself writes.
void CheckValues(const MakerSettings& s) {
    const struct {
        const char* name;
        const std::wstring& value;
        bool identifier;
    } values[] = {{"suite-version", s.ORVVersion, false},
                  {"patch-version", s.PatchVersion, true},
                  {"min-patch", s.MinPatchNeeded, true}};
    for (const auto& v : values) {
        const std::string shown = std::string(v.name) + " \"" + Utf8(v.value) + "\"";
        if (!v.value.empty() && (std::iswspace(v.value.front()) || std::iswspace(v.value.back())))
            throw Failure{kUsage, shown + " has a blank at one end"};
        if (v.identifier && !v.value.empty() && !IsPatchIdentifier(v.value))
            throw Failure{kUsage, shown + " is not a patch identifier of 14 digits (yyyymmddhhnnss)"};
    }
    if (s.ORVVersion.empty())
        throw Failure{kUsage, "--suite-version is required: there is no running installation to read it from"};
    if (!s.MinPatchNeeded.empty() && s.MinPatchNeeded > s.PatchVersion)
        throw Failure{kUsage, "min-patch " + Utf8(s.MinPatchNeeded) + " is newer than the patch itself (" +
                                  Utf8(s.PatchVersion) + "): no installation could take it"};
}

// ---------------------------------------------------------------------------------------------------------
// The files

std::string ReadBytes(const std::string& path, int64_t offset, size_t count) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

uint32_t Le32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    return v;
}

// The program part of the image: the whole file, or when the image is itself a patch, what lies before
// its archive (and so on, should that be a patch again). Refuses what is no Windows program.
int64_t ProgramLength(const std::string& image, std::vector<std::string>& notes) {
    const std::string header = ReadBytes(image, 0, 64);
    const std::string pe = header.size() == 64 ? ReadBytes(image, Le32(header, 0x3C), 4) : std::string();
    if (header.compare(0, 2, "MZ") != 0 || pe != std::string("PE\0\0", 4))
        throw Failure{kRefused, "the image " + image + " is not a Windows program (no PE header)"};
    FileSource source(image);
    const int64_t whole = source.Size();
    for (;;) {
        try {
            const mGlobal::PatchBlock archive = mGlobal::LocatePatchBlock(source, 1);
            if (cXmlNode(Wide(mGlobal::ReadPatchBlock(source, 0, mGlobal::kMaxInMemoryBlock))).Name() != L"ORVPatch")
                break;
            source.Limit(archive.offset);
        } catch (const SysError&) {
            break;
        }
    }
    const int64_t length = source.Size();
    if (length != whole)
        notes.push_back("the image " + image + " is a patch: its program part (" + std::to_string(length) +
                        " bytes) is used");
    return length;
}

// A 7z archive's signature header: its mark and the checksum of the start header behind it, as the maker's
// window checks them. An archive of no entries is left to the listing, which names what it lacks.
void CheckArchiveHeader(const std::string& archive) {
    switch (mArchiveHeader::Check(ReadBytes(archive, 0, mArchiveHeader::kHeadSize))) {
        case mArchiveHeader::Fault::NotSevenZip:
            throw Failure{kRefused, "the archive " + archive + " is not a 7z archive"};
        case mArchiveHeader::Fault::Damaged:
            throw Failure{kRefused, "the archive " + archive + " is damaged: its start header's checksum is wrong"};
        default:
            break;
    }
}

// Shown, and removed when the build is interrupted; a fixed buffer, as the handler may use nothing else.
char gTempPath[4096];

extern "C" void RemoveTempAndDie(int signal) {
    if (gTempPath[0])
        unlink(gTempPath);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// Removes the temporary file on Ctrl+C, a stop request or a closed terminal for as long as it lives.
// The signals wait while the file is made and named, so that none can come between the two.
class InterruptGuard {
  public:
    InterruptGuard() {
        sigset_t stop;
        sigemptyset(&stop);
        for (const int s : kSignals)
            sigaddset(&stop, s);
        sigprocmask(SIG_BLOCK, &stop, &mask_);
        struct sigaction action {};
        action.sa_handler = RemoveTempAndDie;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &action, &old_[i]);
    }
    // The file now exists under `path`: from here on a signal removes it.
    void Arm(const std::string& path) {
        std::snprintf(gTempPath, sizeof gTempPath, "%s", path.c_str());
        sigprocmask(SIG_SETMASK, &mask_, nullptr);
    }
    ~InterruptGuard() {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, nullptr);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &old_[i], nullptr);
        gTempPath[0] = 0;
        sigprocmask(SIG_SETMASK, &mask_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

  private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t mask_;
    struct sigaction old_[std::size(kSignals)];
};

std::string Reason(int error) {
    return std::strerror(error);
}

void WriteAll(int fd, const char* data, size_t size, const std::string& temp) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw Failure{kWriteFailed, "cannot write " + temp + ": " + Reason(written < 0 ? errno : ENOSPC)};
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// Copies the first `length` bytes of `from` (all of it when negative) to `fd`; returns the count copied.
int64_t CopyInto(int fd, const std::string& from, int64_t length, const std::string& temp) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw Failure{kUnreadable, "cannot read " + from + ": " + Reason(errno)};
    std::vector<char> buffer(256 << 10);
    int64_t copied = 0;
    try {
        while (length < 0 || copied < length) {
            const size_t want = length < 0 ? buffer.size()
                                           : static_cast<size_t>(std::min<int64_t>(
                                                 static_cast<int64_t>(buffer.size()), length - copied));
            const ssize_t got = read(in, buffer.data(), want);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                throw Failure{kUnreadable, "cannot read " + from + ": " + Reason(errno)};
            if (got == 0)
                break;
            WriteAll(fd, buffer.data(), static_cast<size_t>(got), temp);
            copied += got;
        }
    } catch (...) {
        close(in);
        throw;
    }
    close(in);
    return copied;
}

// The patch under a temporary name in the output folder, flushed to the disk and renamed into place, so
// that an interruption leaves no part of a patch behind either.
class OutputFile final : public mGlobal::PatchOutput {
  public:
    OutputFile(const fs::path& output, const std::string& image, int64_t imageLength, const std::string& archive)
        : output_(output), image_(image), imageLength_(imageLength), archive_(archive) {}
    ~OutputFile() { Discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Create() override {
        temp_ = (output_.parent_path() / ".ovpatch-XXXXXX").string();
        fd_ = mkostemp(temp_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            temp_.clear();
            throw Failure{kWriteFailed,
                          "cannot create a file in " + output_.parent_path().string() + ": " + Reason(errno)};
        }
        guard_.Arm(temp_);
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd_, 0666 & ~mask);
    }
    int64_t CopyIn(Step what) override {
        return what == Step::Image ? CopyInto(fd_, image_, imageLength_, temp_) : CopyInto(fd_, archive_, -1, temp_);
    }
    void Append(std::string_view bytes) override { WriteAll(fd_, bytes.data(), bytes.size(), temp_); }
    void Replace() override {
        if (fsync(fd_) != 0)
            throw Failure{kWriteFailed, "cannot write " + temp_ + ": " + Reason(errno)};
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0)
            throw Failure{kWriteFailed, "cannot write " + temp_ + ": " + Reason(errno)};
        if (rename(temp_.c_str(), output_.c_str()) != 0)
            throw Failure{kWriteFailed, "cannot write " + output_.string() + ": " + Reason(errno)};
        temp_.clear();
    }
    void Discard() noexcept override {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        if (!temp_.empty())
            unlink(temp_.c_str());
        temp_.clear();
    }

  private:
    InterruptGuard guard_;
    const fs::path& output_;
    const std::string& image_;
    int64_t imageLength_;
    const std::string& archive_;
    std::string temp_;
    int fd_ = -1;
};

void WritePatchFile(const fs::path& output,
                    const std::string& image,
                    int64_t imageLength,
                    const std::string& archive,
                    const std::string& descriptor) {
    OutputFile file(output, image, imageLength, archive);
    mGlobal::PatchOutput::Step step;
    // Readers take the length as signed; the size was checked, but the file may have grown since.
    if (!mGlobal::WritePatchFile(file, descriptor, step))
        throw Failure{kRefused, "the archive is larger than 2 GiB - 1 byte, which no patch can carry"};
}

std::string RefusalText(const frmMaker::Refusal& refusal, const std::string& name) {
    static const struct {
        const wchar_t* element;
        const char* option;
    } kOptionOf[] = {{L"ExtractPath", "--extract-path"}, {L"ORVVersion", "--suite-version"},
                     {L"ORVPatchNeeded", "--min-patch"}, {L"PatchVersion", "--patch-version"},
                     {L"UpdateInfo", "--update-info"},   {L"FileFlags", "--file-flag"},
                     {L"RunAfter", "--run-after"},       {L"DelAfter", "--delete-after"}};
    std::string option;
    for (const auto& o : kOptionOf) {
        if (refusal.field == o.element)
            option = o.option;
    }
    switch (refusal.kind) {
        case frmMaker::BuildRefusal::UnusableName:
            return "\"" + name +
                   "\" is not a usable file name: take \\ / : * ? \" < > | % and trailing blanks or dots out of "
                   "the patch version";
        case frmMaker::BuildRefusal::ListSeparator:
            return "a " + option +
                   " entry holds \"|\", which the patch reads as the end of an entry: give each entry on its own";
        case frmMaker::BuildRefusal::DescriptorMarkup:
            return option + " holds \"" + Utf8(refusal.found) + "\", which the patch would read as part of its descriptor";
        case frmMaker::BuildRefusal::OutputIsImage:
            return "\"" + name + "\" is the image itself: choose another patch version";
        case frmMaker::BuildRefusal::OutputIsArchive:
            return "\"" + name + "\" is the archive itself: choose another patch version";
        case frmMaker::BuildRefusal::EmptyArchive:
            return "the archive is empty: the patch would install nothing";
        case frmMaker::BuildRefusal::NotAnArchive:
            return "the archive is not a 7z archive";
        case frmMaker::BuildRefusal::DamagedArchive:
            return "the archive is damaged: its start header's checksum is wrong";
        case frmMaker::BuildRefusal::None:
            break;
    }
    return {};
}

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

int Build(const std::vector<Entry>& options, std::ostream& out, std::ostream& err) {
    std::vector<Entry> fileEntries;
    for (const Entry& e : options) {
        if (e.key == "settings")
            fileEntries = ReadSettingsFile(e.value);
    }
    Inputs in;
    TakeInputs(in, fileEntries);
    TakeInputs(in, options);
    // From two releases: the archive and the settings that diff writes, made in a temporary folder.
    std::optional<TempFolder> diffed;
    std::vector<Entry> diffEntries;
    if (!in.oldDir.empty() || !in.newDir.empty()) {
        if (in.oldDir.empty() || in.newDir.empty() || !in.archive.empty())
            throw Failure{kUsage, "--old and --new go together, in place of --archive"};
        if (in.deltas.keepWhole && !in.deltas.make)
            throw Failure{kUsage, "--keep-whole goes with --delta"};
        diffed.emplace(fs::temp_directory_path());
        in.archive = (diffed->path() / "data.7z").string();
        DiffReport report;
        try {
            const StopGuard stop;
            for (auto& [key, value] : DiffReleases(in.oldDir, in.newDir, in.archive, in.allowDowngrade, report,
                                                   ProgressTo(err, in.quiet), "build", in.deltas))
                diffEntries.push_back({key, value});
            ThrowIfStopped();
        } catch (const Failure&) {
            if (!in.quiet)
                err << DiffText(report);
            throw;
        }
        if (!in.quiet)
            err << DiffText(report);
    } else if (in.deltas.make || in.deltas.keepWhole)
        throw Failure{kUsage, "--delta and --keep-whole go with --old and --new"};
    if (in.image.empty() || in.archive.empty() || in.output.empty())
        throw Failure{kUsage, "build needs --image, --archive (or --old and --new) and -o (see ovpatch --help)"};
    std::error_code ec;
    if (!fs::is_regular_file(in.image, ec))
        throw Failure{kUnreadable, "the image " + in.image + " is not a file"};
    if (!fs::is_regular_file(in.archive, ec))
        throw Failure{kUnreadable, "the archive " + in.archive + " is not a file"};
    if (fs::exists(in.output, ec) && !fs::is_directory(in.output, ec))
        throw Failure{kUsage, "-o " + in.output + " is a file: -o takes the folder to write the patch into"};
    if (!fs::is_directory(in.output, ec))
        throw Failure{kWriteFailed, "the output folder " + in.output + " does not exist"};

    // Sizes and headers first: nothing is read whole or written before they pass.
    std::vector<std::string> notes;
    const int64_t archiveSize = static_cast<int64_t>(fs::file_size(in.archive, ec));
    if (archiveSize > INT32_MAX)
        throw Failure{kRefused, "the archive is " + std::to_string(archiveSize) +
                                    " bytes, larger than the 2 GiB - 1 byte that a patch can carry"};
    if (archiveSize > 0)
        CheckArchiveHeader(in.archive);
    const int64_t imageLength = ProgramLength(in.image, notes);

    const std::string langs = in.langs.empty() ? (fs::path(in.image).parent_path() / "PatchLang.xml").string() : in.langs;
    const std::wstring langText = DecodeText(ReadWhole(langs, "language file"));
    const std::vector<std::wstring> languages = frmMaker::ListLanguages(langText);
    if (languages.empty())
        throw Failure{kUnreadable, "no language found in " + langs};
    int32_t position = 0;
    const auto blocks = CheckMessageTable(mStringTools::GetTagValue(langText, L"messages", position));
    std::string incomplete;
    for (const auto& block : blocks) {
        if (block.missing.empty())
            continue;
        incomplete.append("; ").append(Utf8(block.name)).append(" lacks");
        for (const auto& key : block.missing)
            incomplete.append(" ").append(Utf8(key));
    }
    if (blocks.empty())
        incomplete = "; its <messages> element is missing, not closed or empty";
    if (!incomplete.empty())
        throw Failure{kRefused, "the language file " + langs + " would give a patch with blank messages" + incomplete};

    // The window's defaults, then what an existing patch brings, then the settings file, then the options.
    MakerSettings s;
    s.LangName = languages.front();
    s.LangCheck = true;
    if (!in.from.empty()) {
        FileSource source(in.from);
        const cXmlNode descriptor = ReadDescriptor(source, in.from);
        frmMaker::ApplyImported(s, frmMaker::ImportFromDescriptor(descriptor), languages);
        s.ExtractPath = descriptor.ChildValue(L"ExtractPath");
    }
    // A new patch gets a new identifier, also when it starts from an old one.
    s.PatchVersion = FreshPatchId();
    ApplyEntries(s, diffEntries, languages);
    if (diffed) {
        // What the maintainer lists comes on top of what the releases need: a delete-after line of their
        // own must not drop the removals diff found.
        const MakerSettings found = s;
        s.RunAtEnd.clear();
        s.DelAtEnd.clear();
        s.FileFlags.clear();
        ApplyEntries(s, fileEntries, languages);
        ApplyEntries(s, options, languages);
        const struct {
            const char* name;
            const std::wstring& found;
            std::wstring& given;
        } lists[] = {{"run-after", found.RunAtEnd, s.RunAtEnd},
                     {"delete-after", found.DelAtEnd, s.DelAtEnd},
                     {"file-flag", found.FileFlags, s.FileFlags}};
        for (const auto& list : lists) {
            if (list.found.empty() || list.given.empty()) {
                list.given = list.given.empty() ? list.found : list.given;
                continue;
            }
            const auto count = [](const std::wstring& field) {
                return std::count(field.begin(), field.end(), L'\n') + 1;
            };
            const auto fromReleases = count(list.found);
            if (!in.quiet)
                err << list.name << ": " << fromReleases << (fromReleases == 1 ? " line" : " lines")
                    << " from the releases and " << count(list.given) << " given\n";
            list.given = list.found + L"\r\n" + list.given;
        }
        // NEW's tree would go under the extraction folder while its deletes name files from the root.
        if (!s.ExtractPath.empty())
            throw Failure{kUsage,
                          "--extract-path cannot go with --old and --new: the patch would put NEW's files under " +
                              Utf8(s.ExtractPath) + " and delete OLD's at the root"};
    } else {
        ApplyEntries(s, fileEntries, languages);
        ApplyEntries(s, options, languages);
    }
    CheckValues(s);

    const std::wstring name = frmMaker::OutputFileName(s.PatchVersion, s.LangName, s.LangCheck);
    const fs::path output = fs::path(in.output) / Utf8(name);
    frmMaker::BuildFacts facts;
    facts.outputIsImage = SameFile(output, in.image);
    facts.outputIsArchive = SameFile(output, in.archive);
    facts.archiveSize = archiveSize;
    // An archive of no entries is refused below by its listing, which names what it lacks.
    if (std::string head = ReadBytes(in.archive, 0, mArchiveHeader::kHeadSize);
        mArchiveHeader::Check(head) != mArchiveHeader::Fault::Empty)
        facts.archiveHead = std::move(head);
    const frmMaker::Refusal refusal = frmMaker::CheckBuild(s, name, facts);
    if (refusal.kind != frmMaker::BuildRefusal::None)
        throw Failure{kRefused, "no patch written: " + RefusalText(refusal, Utf8(name))};
    if (fs::exists(fs::symlink_status(output, ec)) && !in.force)
        throw Failure{kRefused, "no patch written: " + output.string() + " already exists (--force replaces it)"};

    const std::string descriptor = Utf8(frmMaker::BuildDescriptor(s, langText));
    const uint64_t needed = static_cast<uint64_t>(imageLength + archiveSize) + descriptor.size() + 18;
    struct statvfs space {};
    if (statvfs(in.output.c_str(), &space) == 0 && uint64_t{space.f_bavail} * space.f_frsize < needed)
        throw Failure{kWriteFailed, "no patch written: it needs " + std::to_string(needed) + " bytes and " +
                                        in.output + " has " + std::to_string(uint64_t{space.f_bavail} * space.f_frsize) +
                                        " free"};

    if (const auto files = ListArchive(in.archive)) {
        if (std::none_of(files->begin(), files->end(), [](const ArchiveEntry& e) { return !e.folder; }))
            throw Failure{kRefused, "no patch written: the archive " + in.archive +
                                        " lists no file, so the patch would install nothing"};
        TestArchive(in.archive);
    } else {
        notes.push_back(std::string(kNoSevenZip) + ": the archive's file list was not checked");
    }

    WritePatchFile(output, in.image, imageLength, in.archive, descriptor);
    out << output.string() << "\n";
    if (fs::exists(fs::path(in.image).parent_path() / "sign.bat", ec))
        notes.push_back("sign.bat is never run by ovpatch; sign " + Utf8(name) + " yourself");
    if (!in.quiet) {
        for (const std::string& note : notes)
            err << "ovpatch: " << note << "\n";
    }
    return kOk;
}

}  // namespace

int BuildCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return Build(ParseBuild(args), out, err);
}

}  // namespace ovpatch
