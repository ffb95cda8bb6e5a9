#include "support/file_system_win.h"

#include <windows.h>

#include "support/handles_win.h"
#include "support/pump_win.h"
#include "support/trace.h"

namespace mGlobal {

SysError MakeSysError(uint32_t code, bool offsetForm) {
    SysError e;
    e.number = offsetForm ? static_cast<int32_t>(code + static_cast<uint32_t>(kErrOffset)) : static_cast<int32_t>(code);
    e.description = SystemErrorText(code);
    return e;
}

std::wstring SystemErrorText(uint32_t code) {
    wchar_t buf[256];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                                   256, nullptr);
    return n ? std::wstring(buf, n) : std::wstring();
}

std::wstring AppExePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::wstring();
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

std::wstring AppPath() {
    return FilePathOnly(AppExePath());
}

std::wstring AppExeName() {
    std::wstring name = FileNameOnly(AppExePath());
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    return name;
}

std::wstring GetFullPath(const std::wstring& path, const std::wstring& base) {
    std::wstring p = path;
    if (!IsRootedPath(p)) {
        std::wstring b = base.empty() ? AppPath() : base;
        p = AddSlash(b) + p;
    }
    wchar_t buf[260];
    const DWORD n = GetFullPathNameW(p.c_str(), 260, buf, nullptr);
    if (n == 0 || n >= 260)
        return std::wstring();
    return std::wstring(buf, n);
}

uint32_t GetFileAttr(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(LongPathPrefix(GetFullPath(path, L"")).c_str());
    if (attr == INVALID_FILE_ATTRIBUTES)
        throw MakeSysError(GetLastError(), true);
    return attr;
}

void SetFileAttr(const std::wstring& path, uint32_t attributes) {
    if (!SetFileAttributesW(LongPathPrefix(GetFullPath(path, L"")).c_str(), attributes))
        throw MakeSysError(GetLastError(), true);
}

void RemoveFile(const std::wstring& path) {
    if (!DeleteFileW(LongPathPrefix(path).c_str()))
        throw MakeSysError(GetLastError(), false);
}

void RemoveFolder(const std::wstring& path) {
    if (!RemoveDirectoryW(LongPathPrefix(GetFullPath(path, L"")).c_str()))
        throw MakeSysError(GetLastError(), true);
}

void CreateFolder(const std::wstring& path) {
    if (!CreateDirectoryW(LongPathPrefix(path).c_str(), nullptr))
        throw MakeSysError(GetLastError(), true);
}

bool FileExists(const std::wstring& path) {
    try {
        return (GetFileAttr(path) & kAttrFolder) == 0;
    } catch (const SysError&) {
        return false;
    }
}

bool FolderExists(const std::wstring& path) {
    try {
        return (GetFileAttr(path) & kAttrFolder) != 0;
    } catch (const SysError&) {
        return false;
    }
}

bool MakePath(const std::wstring& path) {
    if (FolderExists(path))
        return true;
    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (;;) {
        const size_t bs = path.find(L'\\', start);
        pieces.push_back(path.substr(start, bs == std::wstring::npos ? std::wstring::npos : bs - start));
        if (bs == std::wstring::npos)
            break;
        start = bs + 1;
    }
    if (pieces.size() < 2)
        return false;
    try {
        std::wstring sofar = pieces[0];
        for (size_t i = 1; i < pieces.size(); ++i) {
            sofar += L"\\" + pieces[i];
            if (!FolderExists(sofar))
                CreateFolder(sofar);
        }
        return true;
    } catch (const SysError&) {
        return false;
    }
}

bool KillFile(const std::wstring& path, int16_t retries) {
    const std::wstring p = LongPathPrefix(path);
    try {
        if (GetFileAttr(p) & kAttrHidden)
            SetFileAttr(p, 0);
    } catch (const SysError&) {
    }
    try {
        if (GetFileAttr(p) & kAttrReadOnly)
            SetFileAttr(p, 0);
    } catch (const SysError&) {
    }
    int i = 0;
    for (;;) {
        ++i;
        if (DeleteFileW(p.c_str()))
            return true;
        const DWORD e = GetLastError();
        if (i > retries)
            return false;
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
            return true;
        TraceError(L"Erreur " + std::to_wstring(static_cast<int32_t>(e)) + L" dans KillFile : " + SystemErrorText(e));
        SleepAndPump(200);
    }
}

bool KillFolder(const std::wstring& folderIn, bool recurse, std::vector<std::wstring>* failures, bool keepFolder) {
    DebugNote(L"KillFolder => REFAIRE EN UNICODE");
    try {
        std::wstring folder = folderIn;
        if (folder.empty() || folder.back() != L'\\')
            folder.push_back(L'\\');

        std::vector<std::wstring> files;
        std::vector<std::wstring> subFolders;
        {
            WIN32_FIND_DATAW fd;
            UniqueFind find(FindFirstFileExW(LongPathPrefix(folder + L"*.*").c_str(), FindExInfoBasic, &fd,
                                             FindExSearchNameMatch, nullptr, 0));
            if (!find) {
                const DWORD e = GetLastError();
                if (e != ERROR_FILE_NOT_FOUND)
                    throw MakeSysError(e, true);
            } else {
                // The whole listing is read before anything is removed or entered.
                std::vector<std::wstring> names;
                do {
                    names.push_back(fd.cFileName);
                } while (FindNextFileW(find.get(), &fd));
                find.reset();
                for (const std::wstring& name : names) {
                    if (name == L"." || name == L"..")
                        continue;
                    const std::wstring full = folder + name;
                    const uint32_t attr = GetFileAttr(full);
                    if (attr & kAttrFolder) {
                        subFolders.push_back(full);
                    } else {
                        files.push_back(full);
                        if (attr & (kAttrReadOnly | kAttrHidden))
                            SetFileAttr(full, 0);
                    }
                }
            }
        }

        for (const std::wstring& file : files) {
            try {
                RemoveFile(file);
            } catch (const SysError&) {
                if (failures)
                    failures->push_back(file);
            }
        }

        if (!subFolders.empty()) {
            if (!recurse)
                return false;
            for (const std::wstring& sub : subFolders) {
                if (!KillFolder(sub, true, failures, false))
                    return false;
            }
        }

        if (keepFolder)
            return failures ? failures->empty() : true;

        try {
            RemoveFolder(folder);
        } catch (const SysError&) {
            if (failures)
                failures->push_back(folder);
        }
        return failures ? failures->empty() : true;
    } catch (const SysError& e) {
        TraceError(ErrorTraceLine(e.number, e.description, L"Function mGlobal.KillFolder"));
        return false;
    }
}

std::wstring GetTempFolder() {
    wchar_t buf[1024];
    const DWORD n = GetTempPathW(1024, buf);
    if (n == 0 || n >= 1024)
        return std::wstring();
    std::wstring s(buf, n);
    if (s.back() != L'\\')
        s.push_back(L'\\');
    return GetLongPath(s);
}

std::wstring GetLongPath(const std::wstring& path) {
    wchar_t buf[260] = {0};
    const DWORD n = GetLongPathNameW(path.c_str(), buf, 260);
    if (n == 0 || n >= 260 || buf[0] == 0)
        return path;
    return std::wstring(buf);
}

int SetCurrentFolder(const std::wstring& path) {
    return SetCurrentDirectoryW(path.c_str());
}

}  // namespace mGlobal
