#include "maker/patch_writer_win.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "container/archive_header.h"
#include "container/patch_container.h"
#include "process/shell_exec_win.h"
#include "support/encoding_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/sys_error.h"

namespace frmMaker {
namespace {

// Large enough to copy an archive at disk speed, small enough that memory does not grow with it.
constexpr DWORD kChunk = 256 << 10;

[[noreturn]] void ThrowLast() {
    throw mGlobal::MakeSysError(GetLastError(), false);
}

// The archive's first bytes, for the checks that need no archiver; empty when it cannot be read (the copy then
// says why).
std::string HeadOf(const std::wstring& path) {
    std::string head(mArchiveHeader::kHeadSize, '\0');
    UniqueFile file(CreateFileW(mGlobal::ApiPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr))
        got = 0;
    head.resize(got);
    return head;
}

// Removing a file this build wrote, which may not be there: the result does not matter.
void Discard(const std::wstring& path) {
    SetFileAttributesW(mGlobal::ApiPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(mGlobal::ApiPath(path).c_str());
}

// Appends bytes held in memory to the end of `output`. Throws SysError.
void AppendBytes(const std::wstring& output, const std::string& bytes) {
    UniqueFile out(CreateFileW(mGlobal::ApiPath(output).c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out)
        ThrowLast();
    DWORD written = 0;
    if (!WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        ThrowLast();
}

std::wstring Failure(const std::wstring& what, const SysError& e) {
    std::wstring text = what;
    std::wstring description = e.description;
    while (!description.empty() &&
           (description.back() == L'\n' || description.back() == L'\r' || description.back() == L' '))
        description.pop_back();
    if (!description.empty())
        text += L"\r\n\r\n" + description;
    return text;
}

}  // namespace

void AddFileToFile(const std::wstring& output, const std::wstring& fileToAdd, bool addSize) {
    UniqueFile source(CreateFileW(mGlobal::ApiPath(fileToAdd).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source)
        ThrowLast();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(source.get(), &size))
        ThrowLast();
    // Readers take the length field as signed: anything larger could not be found again.
    if (addSize && size.QuadPart > INT32_MAX)
        throw mGlobal::MakeSysError(ERROR_FILE_TOO_LARGE, false);

    UniqueFile out(CreateFileW(mGlobal::ApiPath(output).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out)
        ThrowLast();
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(out.get(), zero, nullptr, FILE_END))
        ThrowLast();

    std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(kChunk, std::max<int64_t>(size.QuadPart, 1))));
    int64_t copied = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            ThrowLast();
        if (got == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(out.get(), buffer.data(), got, &written, nullptr) || written != got)
            ThrowLast();
        copied += got;
    }
    if (addSize) {
        // The count actually copied: a file that changed size while being read is still described truly.
        if (copied > INT32_MAX)
            throw mGlobal::MakeSysError(ERROR_FILE_TOO_LARGE, false);
        const std::string field = mGlobal::LengthField(static_cast<uint32_t>(copied));
        DWORD written = 0;
        if (!WriteFile(out.get(), field.data(), static_cast<DWORD>(field.size()), &written, nullptr) ||
            written != field.size())
            ThrowLast();
    }
}

PatchResult WritePatch(const PatchJob& job) {
    PatchResult r;
    const std::wstring name = OutputFileName(job.settings.PatchVersion, job.settings.LangName, job.settings.LangCheck);
    r.outputPath = job.makerFolder + L"\\" + name;
    // One path for the checks, the copy and the messages: the archive as the make button found it, a relative
    // path taken from the maker's folder, "/", "." and ".." resolved.
    const std::wstring resolved = mGlobal::GetFullPath(job.archivePath, job.makerFolder);
    const std::wstring archive = resolved.empty() ? job.archivePath : resolved;
    BuildFacts facts;
    facts.outputIsImage = mGlobal::SameFile(r.outputPath, job.imagePath);
    facts.outputIsArchive = mGlobal::SameFile(r.outputPath, archive);
    facts.archiveSize = mGlobal::FileSize(archive);  // -1: the copy says why
    facts.archiveHead = HeadOf(archive);
    const Refusal refusal = CheckBuild(job.settings, name, facts);
    if (refusal.kind != BuildRefusal::None) {
        const bool aboutArchive =
            refusal.kind == BuildRefusal::NotAnArchive || refusal.kind == BuildRefusal::DamagedArchive;
        r.message = RefusalMessage(refusal, aboutArchive ? archive : name);
        return r;
    }

    const bool existed = mGlobal::FileExists(r.outputPath);
    if (existed && job.confirmReplace && !job.confirmReplace(r.outputPath)) {
        r.declined = true;
        return r;
    }

    bool outputStarted = false;
    // Which step failed; its words are put together only then.
    enum { kCopy, kArchive, kDescriptor } step = kCopy;
    try {
        // A failed copy over an older patch may have cut it short; one that never existed is ours.
        outputStarted = !existed;
        if (!CopyFileW(mGlobal::ApiPath(job.imagePath).c_str(), mGlobal::ApiPath(r.outputPath).c_str(), FALSE)) {
            const DWORD code = GetLastError();
            outputStarted = !existed || (code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED);
            throw mGlobal::MakeSysError(code, false);
        }
        outputStarted = true;
        // The copy takes the image's attributes: a read-only maker would give a patch that cannot be
        // appended to, removed or built again.
        const DWORD attributes = GetFileAttributesW(mGlobal::ApiPath(r.outputPath).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
            !SetFileAttributesW(mGlobal::ApiPath(r.outputPath).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
            ThrowLast();

        step = kArchive;
        AddFileToFile(r.outputPath, archive, true);

        // The descriptor and the marker go straight from memory: work files beside the maker could be
        // the user's own.
        step = kDescriptor;
        AppendBytes(r.outputPath,
                    mGlobal::DescriptorTrailer(mUTF8::UTF8_Encode(BuildDescriptor(job.settings, job.langFileText))));
    } catch (const SysError& e) {
        if (outputStarted)
            Discard(r.outputPath);
        std::wstring what = L"Le patch n'a pas été créé. ";
        if (step == kCopy) {
            what += L"Impossible de copier le programme vers « ";
            what += r.outputPath;
            what += L" ».";
        } else if (step == kArchive) {
            what += L"Impossible d'ajouter le fichier de données « ";
            what += archive;
            what += L" » au patch.";
        } else {
            what += L"Impossible d'ajouter la description au patch.";
        }
        r.message = Failure(what, e);
        return r;
    }
    r.ok = true;
    r.size = mGlobal::FileSize(r.outputPath);

    const std::wstring sign = job.makerFolder + L"\\sign.bat";
    if (mGlobal::FileExists(sign)) {
        const std::wstring argument = SignArgument(mGlobal::FileNameOnly(r.outputPath));
        r.signStarted = mGlobal::ShellEx(sign, 1, argument, job.makerFolder, L"open", nullptr);
    }
    return r;
}

}  // namespace frmMaker
