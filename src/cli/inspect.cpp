// ovpatch inspect: what a patch holds, or why the patcher would not accept it.
#include <cstdio>
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

}  // namespace

int InspectCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> files;
    Args walk(args);
    while (walk.Next()) {
        if (walk.IsOption())
            walk.Unknown();
        files.push_back(walk.Operand());
    }
    if (files.size() != 1)
        throw Failure{kUsage, "inspect takes one patch file"};
    return Inspect(files[0], out, err);
}

}  // namespace ovpatch
