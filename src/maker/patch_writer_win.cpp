#include "maker/patch_writer_win.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
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

// The patch under a name of its own beside the output, renamed over it when whole.
class OutputFile final : public mGlobal::PatchOutput {
  public:
    OutputFile(const std::wstring& output, const std::wstring& image, const std::wstring& archive)
        : output_(output), image_(image), archive_(archive) {}
    void Create() override {
        // Never over anything: a name some other build or the user holds is passed by.
        for (unsigned n = 0;; ++n) {
            wchar_t suffix[16];
            wsprintfW(suffix, L".%u.tmp", n);
            file_.reset(CreateFileW(mGlobal::ApiPath(output_ + suffix).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file_) {
                temp_ = output_ + suffix;
                return;
            }
            if (GetLastError() != ERROR_FILE_EXISTS || n > 100)
                ThrowLast();
        }
    }
    // The output itself, opened to add to its end: AddFileToFile's way, with nothing to rename.
    void OpenToAppend() {
        file_.reset(CreateFileW(mGlobal::ApiPath(output_).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER zero{};
        if (!file_ || !SetFilePointerEx(file_.get(), zero, nullptr, FILE_END))
            ThrowLast();
    }
    // The whole file, in bounded chunks; the count copied, which is what the length field must say even when
    // the file changed size while it was read.
    int64_t CopyIn(Step what) override {
        UniqueFile source(CreateFileW(mGlobal::ApiPath(what == Step::Image ? image_ : archive_).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!source)
            ThrowLast();
        std::vector<char> buffer(kChunk);
        int64_t copied = 0;
        for (DWORD got;; copied += got) {
            if (!ReadFile(source.get(), buffer.data(), kChunk, &got, nullptr))
                ThrowLast();
            if (got == 0)
                return copied;
            Append(std::string_view(buffer.data(), got));
        }
    }
    void Append(std::string_view bytes) override {
        DWORD written = 0;
        if (!WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size())
            ThrowLast();
    }
    void Replace() override {
        if (!FlushFileBuffers(file_.get()))
            ThrowLast();
        file_.reset();
        if (!MoveFileExW(mGlobal::ApiPath(temp_).c_str(), mGlobal::ApiPath(output_).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            ThrowLast();
        temp_.clear();
    }
    void Discard() noexcept override {
        file_.reset();
        if (!temp_.empty())
            DeleteFileW(mGlobal::ApiPath(temp_).c_str());
        temp_.clear();
    }

  private:
    const std::wstring& output_;
    const std::wstring& image_;
    const std::wstring& archive_;
    std::wstring temp_;
    UniqueFile file_;
};

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
    OutputFile out(output, fileToAdd, fileToAdd);
    out.OpenToAppend();
    const int64_t copied = out.CopyIn(OutputFile::Step::Archive);
    if (addSize) {
        // Readers take the length field as signed: anything larger could not be found again.
        if (copied > INT32_MAX)
            throw mGlobal::MakeSysError(ERROR_FILE_TOO_LARGE, false);
        out.Append(mGlobal::LengthField(static_cast<uint32_t>(copied)));
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

    // Which step failed; its words are put together only then.
    mGlobal::PatchOutput::Step step = mGlobal::PatchOutput::Step::Image;
    try {
        // The descriptor and the marker go straight from memory: work files beside the maker could be
        // the user's own.
        OutputFile output(r.outputPath, job.imagePath, archive);
        if (!mGlobal::WritePatchFile(output, mUTF8::UTF8_Encode(BuildDescriptor(job.settings, job.langFileText)), step))
            throw mGlobal::MakeSysError(ERROR_FILE_TOO_LARGE, false);
    } catch (const SysError& e) {
        std::wstring what = L"Le patch n'a pas été créé. ";
        if (step == mGlobal::PatchOutput::Step::Image || step == mGlobal::PatchOutput::Step::Replace) {
            what += L"Impossible de copier le programme vers « ";
            what += r.outputPath;
            what += L" ».";
        } else if (step == mGlobal::PatchOutput::Step::Archive) {
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
