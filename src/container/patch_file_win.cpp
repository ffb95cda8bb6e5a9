#include "container/patch_file_win.h"

#include <windows.h>

#include <memory>
#include <new>

#include "support/encoding_win.h"
#include "support/file_system_win.h"
#include "support/trace.h"

namespace mGlobal {

FilePatchSource::FilePatchSource(const std::wstring& path) {
    file_.reset(CreateFileW(ApiPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file_) {
        throw MakeSysError(GetLastError(), false);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) {
        throw MakeSysError(GetLastError(), false);
    }
    size_ = size.QuadPart;
}

void FilePatchSource::ReadAt(int64_t offset, char* buffer, size_t count) {
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    if (!SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN)) {
        throw MakeSysError(GetLastError(), false);
    }
    while (count > 0) {
        const DWORD want = static_cast<DWORD>(count < (1u << 30) ? count : (1u << 30));
        DWORD got = 0;
        if (!ReadFile(file_.get(), buffer, want, &got, nullptr)) {
            throw MakeSysError(GetLastError(), false);
        }
        if (got == 0) {
            // The file is shorter than it was when opened.
            throw MakeSysError(ERROR_HANDLE_EOF, false);
        }
        buffer += got;
        count -= got;
    }
}

std::wstring OwnPatchPath() {
    return AppPath() + L"\\" + AppExeName() + L".exe";
}

std::optional<cXmlNode> ExtractPatchXML(int32_t blockIndex, std::wstring& path) {
    if (path.empty()) {
        path = OwnPatchPath();
    }
    if (!FileExists(path)) {
        return std::nullopt;
    }
    try {
        std::string bytes;
        {
            FilePatchSource source(path);
            bytes = ReadPatchBlock(source, blockIndex, kMaxInMemoryBlock);
        }
        return cXmlNode(mUTF8::UTF8_Decode(bytes, 1));
    } catch (const SysError& e) {
        TraceError(ErrorTraceLine(e.number, e.description, L"Function mGlobal.ExtractPatchXML"));
    } catch (const std::bad_alloc&) {
        TraceOutOfMemory(L"Function mGlobal.ExtractPatchXML");
    }
    return std::nullopt;
}

std::wstring WritePatchBlockToFile(PatchSource& source, const PatchBlock& block, const std::wstring& destination) {
    if (FileExists(destination)) {
        try {
            RemoveFile(destination);
        } catch (const SysError&) {
            // Creating it below overwrites it, or fails; either way the archiver's test tells.
        }
    }
    const std::wstring target = ApiPath(destination);
    UniqueFile out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!out)
        return L"cannot create " + destination + L": " + SystemErrorText(GetLastError());
    // A bounded buffer: a 32-bit process cannot always find one free piece the size of the archive.
    const std::unique_ptr<char[]> buffer(new char[kCopyChunkSize]);
    bool complete = false;
    std::wstring problem;
    try {
        complete = CopyPatchBlock(source, block, buffer.get(), kCopyChunkSize, [&](const char* data, size_t count) {
            DWORD written = 0;
            if (!WriteFile(out.get(), data, static_cast<DWORD>(count), &written, nullptr) || written != count) {
                problem = L"cannot write " + destination + L": " + SystemErrorText(GetLastError());
                return false;
            }
            return true;
        });
    } catch (...) {
        // Half an archive must not be mistaken for the whole one.
        out.reset();
        DeleteFileW(target.c_str());
        throw;
    }
    if (!complete) {
        out.reset();
        DeleteFileW(target.c_str());
    }
    return problem;
}

std::wstring ExtractPatchData(const std::wstring& destination, int32_t blockIndex, const std::wstring& source) {
    FilePatchSource patch(source.empty() ? OwnPatchPath() : source);
    const PatchBlock block = LocatePatchBlock(patch, blockIndex);
    return WritePatchBlockToFile(patch, block, destination);
}

}  // namespace mGlobal
