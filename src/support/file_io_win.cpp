#include "support/file_io_win.h"

#include <windows.h>

#include "support/encoding_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/trace.h"

namespace mStringTools {

long LoadFileBytes(const std::wstring& path, std::string& bytes) {
    if (!mGlobal::FileExists(path))
        return 0;
    try {
        UniqueFile file(CreateFileW(mGlobal::ApiPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            throw mGlobal::MakeSysError(GetLastError(), false);
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file.get(), &size))
            throw mGlobal::MakeSysError(GetLastError(), false);
        if (size.QuadPart == 0 || size.QuadPart > 0x7FFFFFFF)
            throw mGlobal::MakeSysError(ERROR_FILE_INVALID, false);
        std::string data(static_cast<size_t>(size.QuadPart), '\0');
        size_t done = 0;
        while (done < data.size()) {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 24));
            if (!ReadFile(file.get(), data.data() + done, want, &got, nullptr))
                throw mGlobal::MakeSysError(GetLastError(), false);
            if (got == 0)
                throw mGlobal::MakeSysError(ERROR_HANDLE_EOF, false);
            done += got;
        }
        bytes = std::move(data);
        return static_cast<long>(bytes.size());
    } catch (const SysError& e) {
        TraceError(ErrorTraceLine(e.number, e.description, L"Function mglobal.LoadFile"));
        return 0;
    }
}

std::string LoadFileBinary(const std::wstring& path) {
    std::string bytes;
    if (LoadFileBytes(path, bytes) == 0)
        return std::string();
    TraceError(L"Loaded binary file : " + path);
    return bytes;
}

std::wstring LoadFile(const std::wstring& path, bool decode, int& encoding, bool keepBom, bool& bomChanged) {
    std::string bytes;
    if (LoadFileBytes(path, bytes) == 0)
        return std::wstring();
    if (decode) {
        encoding = kDetect;
        return StrDataToUnicode(bytes, encoding, 1252, keepBom, bomChanged);
    }
    TraceError(L"Loaded file : " + path);
    return AnsiBytesToStr(bytes);
}

std::wstring LoadTextFile(const std::wstring& path) {
    int encoding = kDetect;
    bool bomChanged = false;
    return LoadFile(path, true, encoding, false, bomChanged);
}

namespace {

// The text's UTF-16 form, with a byte-order mark exactly when keepBom is true.
std::wstring Utf16Form(const std::wstring& content, bool keepBom) {
    std::wstring text = content;
    const bool hasBom = !text.empty() && text[0] == 0xFEFF;
    if (hasBom && !keepBom)
        text.erase(0, 1);
    else if (!hasBom && keepBom)
        text.insert(text.begin(), static_cast<wchar_t>(0xFEFF));
    return text;
}

bool WriteAll(const std::wstring& path, const std::string& bytes, bool append) {
    mGlobal::MakePath(mGlobal::FilePathOnly(path));
    LONGLONG start = 0;
    if (mGlobal::FileExists(path)) {
        if (append) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (GetFileAttributesExW(mGlobal::ApiPath(path).c_str(), GetFileExInfoStandard, &data))
                start = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        } else {
            try {
                mGlobal::RemoveFile(path);
            } catch (const SysError& e) {
                // Gone since the test above: there is nothing in the way of the new file.
                if (!mGlobal::Vanished(e))
                    return false;
            }
        }
    }
    try {
        UniqueFile file(CreateFileW(mGlobal::ApiPath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            throw mGlobal::MakeSysError(GetLastError(), false);
        LARGE_INTEGER pos;
        pos.QuadPart = start;
        if (!SetFilePointerEx(file.get(), pos, nullptr, FILE_BEGIN))
            throw mGlobal::MakeSysError(GetLastError(), false);
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD wrote = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
            if (!WriteFile(file.get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0)
                throw mGlobal::MakeSysError(GetLastError(), false);
            done += wrote;
        }
        if (!SetEndOfFile(file.get()))
            throw mGlobal::MakeSysError(GetLastError(), false);
        return true;
    } catch (const SysError& e) {
        TraceError(ErrorTraceLine(e.number, e.description, L"Fonction SaveFile"));
        return false;
    }
}

}  // namespace

bool SaveFile(const std::wstring& path, const std::wstring& content, bool convert, int encoding, bool keepBom,
              unsigned codePage, bool append) {
    std::string bytes;
    if (!convert) {
        bytes = TextToUtf16Bytes(content);
    } else if (encoding == kUtf16Le) {
        bytes = TextToUtf16Bytes(Utf16Form(content, keepBom));
    } else if (encoding == kUtf8) {
        bytes = mUTF8::UTF8_Encode(Utf16Form(content, keepBom));
    } else if (encoding == kCodePage) {
        bytes = StrUnicodeToCodePage(Utf16Form(content, false), codePage);
    } else if (IsUnicode(TextToUtf16Bytes(content))) {
        DebugNote(L"Depend de la locale");
        bytes = StrToAnsiBytes(content);
    } else {
        bytes = TextToUtf16Bytes(content);
    }
    return WriteAll(path, bytes, append);
}

bool SaveUtf8Text(const std::wstring& path, const std::wstring& content) {
    return SaveFile(path, content, kConvertText, kUtf8, kWithoutBom, kWesternCodePage, kReplaceFile);
}

bool SaveFileBytes(const std::wstring& path, const std::string& bytes, bool append) {
    return WriteAll(path, bytes, append);
}

}  // namespace mStringTools
