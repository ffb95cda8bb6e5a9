#include "support/file_system_win.h"

#include <windows.h>

#include "support/encoding.h"
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
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 256, nullptr);
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
    if (!NamesVolume(p)) {
        std::wstring b = base.empty() ? AppPath() : base;
        p = AddSlash(b) + p;
    }
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(p.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            return std::wstring();
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        // Too small: n is the room needed, terminating NUL included.
        full.resize(n);
    }
}

std::wstring ApiPath(const std::wstring& path) {
    // An empty path names nothing; resolved, it would name the program's own folder.
    if (path.empty() || path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    const std::wstring full = GetFullPath(path, L"");
    return ExtendedPath(full.empty() ? path : full);
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    if (a.empty() || b.empty())
        return false;
    const std::wstring fa = GetFullPath(a, L"");
    const std::wstring fb = GetFullPath(b, L"");
    return !fa.empty() && !fb.empty() &&
           CompareStringOrdinal(fa.c_str(), static_cast<int>(fa.size()), fb.c_str(), static_cast<int>(fb.size()),
                                TRUE) == CSTR_EQUAL;
}

int64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(ApiPath(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

uint32_t GetFileAttr(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(ApiPath(path).c_str());
    if (attr == INVALID_FILE_ATTRIBUTES)
        throw MakeSysError(GetLastError(), true);
    return attr;
}

void SetFileAttr(const std::wstring& path, uint32_t attributes) {
    if (!SetFileAttributesW(ApiPath(path).c_str(), attributes))
        throw MakeSysError(GetLastError(), true);
}

void RemoveFile(const std::wstring& path) {
    if (!DeleteFileW(ApiPath(path).c_str()))
        throw MakeSysError(GetLastError(), false);
}

void RemoveFolder(const std::wstring& path) {
    if (!RemoveDirectoryW(ApiPath(path).c_str()))
        throw MakeSysError(GetLastError(), true);
}

void CreateFolder(const std::wstring& path) {
    if (!CreateDirectoryW(ApiPath(path).c_str(), nullptr))
        throw MakeSysError(GetLastError(), true);
}

bool Vanished(const SysError& e) {
    const uint32_t number = static_cast<uint32_t>(e.number);
    const uint32_t offset = static_cast<uint32_t>(kErrOffset);
    const uint32_t code = number >= offset && number - offset <= 0xFFFF ? number - offset : number;
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
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
    // A drive or a share is there or not; the folders below it are made one by one.
    const std::wstring volume = VolumePart(path);
    std::vector<std::wstring> pieces;
    size_t start = volume.empty() ? 0 : volume.size() + 1;
    if (!volume.empty())
        pieces.push_back(volume);
    if (start > path.size())
        return false;
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
    const std::wstring p = ApiPath(path);
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
        TraceError(L"Erreur " + mStringTools::DecimalText(static_cast<int32_t>(e)) + L" dans KillFile : " +
                   SystemErrorText(e));
        SleepAndPump(200);
    }
}

namespace {

// `folder` as the caller wrote it (for the failure list) and `resolved`, its exact form for the system,
// both ending with a backslash.
bool KillFolderIn(const std::wstring& folder,
                  const std::wstring& resolved,
                  bool recurse,
                  std::vector<std::wstring>* failures,
                  bool keepFolder) {
    struct Entry {
        std::wstring shown;
        std::wstring exact;
    };
    std::vector<Entry> files;
    std::vector<Entry> subFolders;
    std::vector<Entry> links;
    // Looked at again as it is entered, not only when its parent was listed: a folder swapped for a link in
    // between goes as a link, and nothing of what it points at.
    const std::wstring resolvedFolder = WithoutSlash(resolved);
    if (const DWORD attr = GetFileAttributesW(resolvedFolder.c_str());
        attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (!keepFolder && !RemoveDirectoryW(resolvedFolder.c_str()) && failures)
            failures->push_back(folder);
        return failures ? failures->empty() : true;
    }
    {
        WIN32_FIND_DATAW fd;
        UniqueFind find(
            FindFirstFileExW((resolved + L"*.*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0));
        if (!find) {
            // A folder that is already gone, or went while its parent was being emptied, is done.
            const DWORD e = GetLastError();
            if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND)
                throw MakeSysError(e, true);
            return failures ? failures->empty() : true;
        }
        // The whole listing is read before anything is removed or entered.
        std::vector<std::wstring> names;
        do {
            names.push_back(fd.cFileName);
        } while (FindNextFileW(find.get(), &fd));
        find.reset();
        for (const std::wstring& name : names) {
            if (name == L"." || name == L"..")
                continue;
            Entry entry{folder + name, resolved + name};
            try {
                const uint32_t attr = GetFileAttr(entry.exact);
                if ((attr & kAttrFolder) && (attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    // A junction or a link: it goes itself; what it points at is someone else's.
                    links.push_back(std::move(entry));
                } else if (attr & kAttrFolder) {
                    subFolders.push_back(std::move(entry));
                } else {
                    if (attr & (kAttrReadOnly | kAttrHidden))
                        SetFileAttr(entry.exact, 0);
                    files.push_back(std::move(entry));
                }
            } catch (const SysError& e) {
                // An entry that vanished since the listing has nothing left to delete.
                if (!Vanished(e))
                    throw;
            }
        }
    }

    const auto removeEach = [&](const std::vector<Entry>& entries, void (*remove)(const std::wstring&)) {
        for (const Entry& entry : entries) {
            try {
                remove(entry.exact);
            } catch (const SysError& e) {
                if (failures && !Vanished(e))
                    failures->push_back(entry.shown);
            }
        }
    };
    removeEach(files, RemoveFile);
    removeEach(links, RemoveFolder);

    if (!subFolders.empty()) {
        if (!recurse)
            return false;
        for (const Entry& sub : subFolders) {
            if (!KillFolderIn(sub.shown + L"\\", sub.exact + L"\\", true, failures, false))
                return false;
        }
    }

    if (keepFolder)
        return failures ? failures->empty() : true;

    try {
        RemoveFolder(resolved);
    } catch (const SysError& e) {
        if (failures && !Vanished(e))
            failures->push_back(folder);
    }
    return failures ? failures->empty() : true;
}

}  // namespace

bool KillFolder(const std::wstring& folderIn, bool recurse, std::vector<std::wstring>* failures, bool keepFolder) {
    DebugNote(L"KillFolder => REFAIRE EN UNICODE");
    // No folder at all: resolved, it would be the program's own.
    if (folderIn.empty())
        return false;
    try {
        const std::wstring folder = WithSlash(folderIn);
        // Resolved once; the entries below are then named exactly as the listing gives them.
        return KillFolderIn(folder, WithSlash(ApiPath(folder)), recurse, failures, keepFolder);
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
    return GetLongPath(WithSlash(std::wstring(buf, n)));
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
