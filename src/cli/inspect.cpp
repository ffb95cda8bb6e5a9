// ovpatch inspect: what a patch holds, or why the patcher would not accept it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "cli/common.h"

namespace ovpatch {
namespace {

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

// 7-Zip reads the archive from a copy of the block in the temporary folder, removed afterwards.
std::optional<std::vector<ArchiveEntry>> ListPatchArchive(const std::string& path,
                                                          FileSource& source,
                                                          const mGlobal::PatchBlock& archive) {
    const char* tmp = std::getenv("TMPDIR");
    std::string temp = std::string(tmp && *tmp ? tmp : "/tmp") + "/ovpatch-list-XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        throw Failure{kWriteFailed, "cannot copy the archive of " + path + " to " + temp};
    try {
        std::vector<char> buffer(256 << 10);
        for (int64_t at = 0; at < archive.length;) {
            const size_t count =
                static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), archive.length - at));
            source.ReadAt(archive.offset + at, buffer.data(), count);
            if (write(fd, buffer.data(), count) != static_cast<ssize_t>(count))
                throw Failure{kWriteFailed, "cannot copy the archive of " + path + " to " + temp};
            at += static_cast<int64_t>(count);
        }
    } catch (...) {
        close(fd);
        unlink(temp.c_str());
        throw;
    }
    close(fd);
    try {
        auto files = ListArchive(temp, "of " + path);
        unlink(temp.c_str());
        return files;
    } catch (Failure& f) {
        unlink(temp.c_str());
        f.code = kNotAPatch;  // the patcher would take the file, then fail to extract it
        throw;
    }
}

template <typename T, typename Show>
std::string JsonArray(const std::vector<T>& items, Show show) {
    std::string json = "[";
    for (size_t i = 0; i < items.size(); ++i)
        json += (i ? ", " : "") + show(items[i]);
    return json + "]";
}

// The entries of a list element as the patcher splits them.
std::vector<std::string> ListEntries(const std::wstring& value) {
    std::vector<std::string> entries;
    for (size_t from = 0; !value.empty();) {
        const size_t bar = value.find(L'|', from);
        entries.push_back(Utf8(value.substr(from, bar - from)));
        if (bar == std::wstring::npos)
            break;
        from = bar + 1;
    }
    return entries;
}

struct Options {
    std::string path;
    bool json = false, list = false;
};

int Inspect(const Options& o, std::ostream& out, std::ostream& err) {
    const std::string& path = o.path;
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
    const bool utf8 = Utf8(Wide(bytes)) == bytes;
    const auto languages = CheckMessageTable(node.ChildValue(L"Strings"));
    std::optional<std::vector<ArchiveEntry>> files;
    if (o.list) {
        files = ListPatchArchive(path, source, archive);
        if (!files)
            throw Failure{kUnreadable, std::string(kNoSevenZip) + ": --list needs it"};
    }

    static const wchar_t* const kFields[] = {L"ExtractPath", L"ORVVersion", L"ORVPatchNeeded", L"PatchVersion",
                                             L"PatchLang",   L"ORVLang",    L"UpdateInfo",     L"ForceMenuRestart",
                                             L"FileFlags",   L"RunAfter",   L"DelAfter"};
    auto isList = [](const std::wstring& field) {
        return field == L"FileFlags" || field == L"RunAfter" || field == L"DelAfter";
    };
    if (o.json) {
        out << "{\n  \"schema\": 1,\n  \"file\": " << Json(path) << ",\n  \"size\": " << source.Size()
            << ",\n  \"image\": {\"length\": " << archive.offset << "},\n  \"archive\": {\"offset\": " << archive.offset
            << ", \"length\": " << archive.length << "},\n  \"descriptor\": {\"offset\": " << descriptor.offset
            << ", \"length\": " << descriptor.length << ", \"utf8\": " << (utf8 ? "true" : "false")
            << "},\n  \"afterMarker\": " << source.Size() - markerEnd << ",\n  \"fields\": {";
        const char* separator = "\n";
        for (const wchar_t* field : kFields) {
            const std::wstring value = node.ChildValue(field);
            out << separator << "    " << Json(Utf8(field)) << ": "
                << (isList(field) ? JsonArray(ListEntries(value), Json) : Json(Utf8(value)));
            separator = ",\n";
        }
        out << "\n  },\n  \"languages\": " << JsonArray(languages, [](const LanguageBlock& b) {
            return "{\"name\": " + Json(Utf8(b.name)) + ", \"messages\": " + std::to_string(b.messages) +
                   ", \"missing\": " + JsonArray(b.missing, [](const std::wstring& k) { return Json(Utf8(k)); }) + "}";
        });
        if (files) {
            out << ",\n  \"files\": " << JsonArray(*files, [](const ArchiveEntry& e) {
                const std::string target = e.folder ? "" : DeltaTargetOf(e.path);
                return "{\"path\": " + Json(e.path) + ", \"size\": " + std::to_string(e.size) +
                       ", \"folder\": " + (e.folder ? "true" : "false") +
                       (target.empty() ? "" : ", \"deltaOf\": " + Json(target)) + "}";
            });
        }
        out << "\n}\n";
        return kOk;
    }

    out << "file:        " << path << " (" << source.Size() << " bytes)\n";
    out << "image:       " << archive.offset << " bytes\n";
    out << "archive:     " << archive.length << " bytes at " << archive.offset << "\n";
    out << "descriptor:  " << descriptor.length << " bytes at " << descriptor.offset
        << (utf8 ? "" : " (not valid UTF-8)") << "\n";
    out << "after marker: " << source.Size() - markerEnd << " bytes (a signature, when there is one)\n";
    for (const wchar_t* field : kFields)
        out << "  " << Utf8(field) << ": " << Shown(node.ChildValue(field)) << "\n";
    out << "languages:   " << languages.size() << "\n";
    for (const auto& block : languages) {
        out << "  " << Shown(block.name) << ": " << block.messages << " messages";
        for (size_t i = 0; i < block.missing.size(); ++i)
            out << (i ? " " : ", missing ") << Utf8(block.missing[i]);
        out << "\n";
    }
    if (files) {
        out << "files:       " << files->size() << "\n";
        for (const ArchiveEntry& e : *files)
            if (const std::string target = e.folder ? "" : DeltaTargetOf(e.path); !target.empty())
                out << "  " << e.path << "  (" << e.size << " bytes, delta of " << target << ")\n";
            else
                out << "  " << e.path << (e.folder ? "/" : "  (" + std::to_string(e.size) + " bytes)") << "\n";
    }
    return kOk;
}

}  // namespace

int InspectCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options o;
    std::vector<std::string> files;
    Args walk(args);
    while (walk.Next()) {
        if (!walk.IsOption())
            files.push_back(walk.Operand());
        else if (walk.Name() == "json" && !walk.HasInlineValue())
            o.json = true;
        else if (walk.Name() == "list" && !walk.HasInlineValue())
            o.list = true;
        else
            walk.Unknown();
    }
    if (files.size() != 1)
        throw Failure{kUsage, "inspect takes one patch file"};
    o.path = files[0];
    return Inspect(o, out, err);
}

}  // namespace ovpatch
