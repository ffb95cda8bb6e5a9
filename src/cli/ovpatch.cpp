#include "cli/ovpatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

#include "container/patch_container.h"
#include "container/xml_node.h"
#include "maker/descriptor_builder.h"
#include "support/encoding.h"

namespace ovpatch {
namespace {

namespace fs = std::filesystem;
using frmMaker::MakerSettings;

// Ends the command with its exit code; Run prints the message.
struct Failure {
    int code;
    std::string message;
};

std::string Utf8(const std::wstring& text) {
    return mStringTools::TextToUtf8Bytes(text);
}

std::wstring Wide(const std::string& bytes) {
    return mStringTools::Utf8BytesToText(bytes);
}

std::string ReadWhole(const std::string& path, const char* what) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw Failure{kUnreadable, std::string(what) + " " + path + " is not a file"};
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof())
        throw Failure{kUnreadable, std::string("cannot read ") + what + " " + path};
    return bytes;
}

// A text file decoded as the maker's file loader decodes it: UTF-16 with its byte-order mark, UTF-8
// (its mark dropped), otherwise Windows-1252; like the system's conversion, text stops at a zero byte.
std::wstring DecodeText(std::string bytes) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE)
        return mStringTools::Utf16BytesToText(bytes.substr(2));
    bytes = bytes.substr(0, bytes.find('\0'));
    if (mStringTools::IsUTF8(bytes)) {
        std::wstring text = Wide(bytes);
        if (!text.empty() && text[0] == 0xFEFF)
            text.erase(0, 1);
        return text;
    }
    static const uint16_t k1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                       0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::wstring text;
    for (char c : bytes) {
        const uint8_t b = static_cast<uint8_t>(c);
        text.push_back(static_cast<wchar_t>(b >= 0x80 && b < 0xA0 ? k1252[b - 0x80] : b));
    }
    return text;
}

// The patch file read through the core's reader.
class FileSource final : public mGlobal::PatchSource {
  public:
    explicit FileSource(const std::string& path) : in_(path, std::ios::binary) {
        std::error_code ec;
        if (!fs::is_regular_file(path, ec) || !in_)
            throw Failure{kUnreadable, "cannot read " + path};
        in_.seekg(0, std::ios::end);
        size_ = static_cast<int64_t>(in_.tellg());
    }
    int64_t Size() override { return size_; }
    void ReadAt(int64_t offset, char* buffer, size_t count) override {
        in_.clear();
        in_.seekg(offset);
        in_.read(buffer, static_cast<std::streamsize>(count));
        if (offset < 0 || static_cast<size_t>(in_.gcount()) != count)
            throw SysError{38, L"Reached the end of the file."};
    }

  private:
    std::ifstream in_;
    int64_t size_ = 0;
};

// ---------------------------------------------------------------------------------------------------------
// Settings

struct Entry {
    std::string key;
    std::string value;
};

struct BuildOptions {
    std::string image, archive, langs, settingsFile, from, output, updateInfoFile;
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

cXmlNode ReadDescriptor(FileSource& source, const std::string& path) {
    try {
        return cXmlNode(Wide(mGlobal::ReadPatchBlock(source, 0, mGlobal::kMaxInMemoryBlock)));
    } catch (const SysError& e) {
        throw Failure{kNotAPatch, path + " is not a patch: " + Utf8(e.description)};
    }
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

int Build(const BuildOptions& o, std::ostream& out, std::ostream& err) {
    if (o.image.empty() || o.archive.empty() || o.output.empty())
        throw Failure{kUsage, "build needs --image, --archive and -o (see ovpatch --help)"};
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

// ---------------------------------------------------------------------------------------------------------
// inspect

// A value on one line. Line breaks and tabs are shown by their control pictures (the descriptor's own
// "\n" convention stays as written), other control characters as \xNN.
std::string Shown(const std::wstring& value) {
    std::string shown;
    for (const char c : Utf8(value)) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\r')
            shown += "\u240D";
        else if (c == '\n')
            shown += "\u240A";
        else if (c == '\t')
            shown += "\u2409";
        else if (b < 0x20 || b == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            shown += hex;
        } else
            shown += c;
    }
    return shown;
}

std::string Reason(const SysError& e, const char* block) {
    if (e.number == mGlobal::kErrNoPatchMarker)
        return "no OVPATCHEND marker in the last " + std::to_string(mGlobal::kMarkerSearchWindow) + " bytes";
    if (e.number == mGlobal::kErrBadBlockLength)
        return std::string("the ") + block + "'s length field does not fit the file";
    return Utf8(e.description);
}

int Inspect(const std::string& path, std::ostream& out, std::ostream& err) {
    FileSource source(path);
    mGlobal::PatchBlock descriptor, archive;
    const char* reading = "descriptor";
    try {
        descriptor = mGlobal::LocatePatchBlock(source, 0);
        if (descriptor.length > mGlobal::kMaxInMemoryBlock) {
            err << "ovpatch: " << path << " is not a valid patch: its descriptor of " << descriptor.length
                << " bytes is larger than the patcher reads (" << mGlobal::kMaxInMemoryBlock << ")\n";
            return kNotAPatch;
        }
        reading = "archive";
        archive = mGlobal::LocatePatchBlock(source, 1);
    } catch (const SysError& e) {
        err << "ovpatch: " << path << " is not a valid patch: " << Reason(e, reading) << "\n";
        return kNotAPatch;
    }
    std::string bytes(static_cast<size_t>(descriptor.length), '\0');
    source.ReadAt(descriptor.offset, bytes.data(), bytes.size());
    const cXmlNode node(Wide(bytes));
    const int64_t markerEnd =
        descriptor.offset + descriptor.length + 4 + static_cast<int64_t>(mGlobal::kPatchMarker.size());

    out << "file:        " << path << " (" << source.Size() << " bytes)\n";
    out << "image:       " << archive.offset << " bytes\n";
    out << "archive:     " << archive.length << " bytes at " << archive.offset << "\n";
    out << "descriptor:  " << descriptor.length << " bytes at " << descriptor.offset
        << (Utf8(Wide(bytes)) == bytes ? "" : " (not valid UTF-8)") << "\n";
    out << "after marker: " << source.Size() - markerEnd << " bytes (a signature, when there is one)\n";
    static const wchar_t* const kFields[] = {L"ExtractPath", L"ORVVersion", L"ORVPatchNeeded", L"PatchVersion",
                                             L"PatchLang",   L"ORVLang",    L"UpdateInfo",     L"ForceMenuRestart",
                                             L"FileFlags",   L"RunAfter",   L"DelAfter"};
    for (const wchar_t* field : kFields)
        out << "  " << Utf8(field) << ": " << Shown(node.ChildValue(field)) << "\n";
    const cXmlNode strings(L"<Strings>" + node.ChildValue(L"Strings") + L"</Strings>");
    const int32_t count = strings.ChildCount();
    out << "languages:   " << count << "\n";
    for (int32_t i = 1; i <= count; ++i) {
        if (auto block = strings.Child(i))
            out << "  " << Shown(block->Name()) << ": " << block->ChildCount() << " messages\n";
    }
    return kOk;
}

// ---------------------------------------------------------------------------------------------------------

BuildOptions ParseBuild(const std::vector<std::string>& args) {
    BuildOptions o;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (name == "-o") {
            name = "--output";
        }
        if (name.rfind("--", 0) != 0)
            throw Failure{kUsage, "unexpected \"" + name + "\" (see ovpatch --help)"};
        name = name.substr(2);
        const size_t equals = name.find('=');
        if (equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "all-languages" || name == "force-menu-restart") {
            if (inlineValue)
                throw Failure{kUsage, "--" + name + " takes no value"};
            o.settings.push_back(
                {name == "all-languages" ? "lang-check" : name, name == "all-languages" ? "no" : "yes"});
            continue;
        }
        if (!inlineValue && i + 1 >= args.size())
            throw Failure{kUsage, "--" + name + " needs a value"};
        const std::string value = inlineValue ? *inlineValue : args[++i];
        if (name == "image")
            o.image = value;
        else if (name == "archive")
            o.archive = value;
        else if (name == "langs")
            o.langs = value;
        else if (name == "settings")
            o.settingsFile = value;
        else if (name == "from")
            o.from = value;
        else if (name == "output")
            o.output = value;
        else if (name == "update-info-file")
            o.updateInfoFile = value;
        else if (SettingKeys().count(name))
            o.settings.push_back({name, value});
        else
            throw Failure{kUsage, "unknown option --" + name + " (see ovpatch --help)"};
    }
    return o;
}

}  // namespace

std::string UsageText() {
    return R"(Usage:
  ovpatch build --image OVPatcher.exe --archive data.7z -o DIR [settings...]
  ovpatch inspect PATCH
  ovpatch --help

build writes DIR/orv_<patch version>_<LANG>.exe (or _MultiLng.exe), byte for byte the
patch the maker window writes from the same image, archive and settings.
  --image FILE            the program to carry (OVPatcher.exe, or a patch to build around)
  --archive FILE          the 7z archive of replacement files (not empty)
  -o, --output DIR        the folder to write the patch into
  --langs FILE            the message table (default: PatchLang.xml beside the image)
  --from PATCH            start from the settings of an existing patch, as a drop on
                          the maker window does (not its extract path)
  --settings FILE         settings from a UTF-8 file: one "name = value" per line, names
                          as the options below without "--", a value running to the
                          end of its line ("force-menu-restart = yes"); lines
                          starting with "#" are comments
  --suite-version V       the suite version the patch is for (required)
  --patch-version ID      this patch's identifier (default: now, yyyymmddhhnnss)
  --min-patch ID          a patch that must already be installed
  --lang NAME             message language (default: the language file's first)
  --all-languages         install on every language (same as lang-check = no)
  --lang-check yes|no     install only on a suite of that language (default yes)
  --extract-path PATH     folder inside the installation to extract into
  --update-info TEXT      what users read; once per line
  --update-info-file FILE the same, from a text file
  --run-after CMD         a command to run after extraction; once per command
  --delete-after PATH     a path to delete at the end; once per path
  --file-flag ENTRY       a "flags;path" entry; once per entry
  --force-menu-restart    restart the suite's menu in any case
Options override the settings file, which overrides --from. sign.bat is never run:
ovpatch prints the new patch's path so that the next step can sign it.

inspect prints a patch's descriptor fields, block sizes and language blocks, or
why the patcher would not accept the file.

Exit codes: 0 done; 1 not a valid patch; 2 bad command line; 3 an input cannot
be read; 4 the maker would refuse this build; 5 the output cannot be written.
)";
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            err << UsageText();
            return kUsage;
        }
        const std::string& command = args[0];
        if (command == "--help" || command == "-h" || command == "help" ||
            (args.size() == 2 && (args[1] == "--help" || args[1] == "-h"))) {
            out << UsageText();
            return kOk;
        }
        if (command == "build")
            return Build(ParseBuild(args), out, err);
        if (command == "inspect") {
            if (args.size() != 2)
                throw Failure{kUsage, "inspect takes one patch file"};
            return Inspect(args[1], out, err);
        }
        throw Failure{kUsage, "unknown command \"" + command + "\" (see ovpatch --help)"};
    } catch (const Failure& f) {
        err << "ovpatch: " << f.message << "\n";
        return f.code;
    } catch (const SysError& e) {
        err << "ovpatch: " << Utf8(e.description) << "\n";
        return kUnreadable;
    } catch (const std::exception& e) {
        err << "ovpatch: " << e.what() << "\n";
        return kUnreadable;
    }
}

}  // namespace ovpatch
