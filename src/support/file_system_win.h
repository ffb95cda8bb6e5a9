// File-system primitives shared by the patcher, the maker, the container reader and the archiver
// driver. The wrappers GetFileAttr, SetFileAttr, RemoveFile, RemoveFolder and CreateFolder throw
// SysError; the other routines trap their failures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/path.h"
#include "support/sys_error.h"

namespace mGlobal {

constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrFolder = 0x10;

// The full path, of any length; a relative path is taken from `base`, or from the program's own folder
// when `base` is empty. Empty text when the system cannot make one.
std::wstring GetFullPath(const std::wstring& path, const std::wstring& base);
// The form every wide file call of the program is given: the full path, so that "/" and ".." mean what
// they mean to the system, with "\\?\" in front of a drive-letter path so that it may exceed the classic
// length. A path that already carries "\\?\" is used as it stands (a listing's names are exact).
std::wstring ApiPath(const std::wstring& path);
// Whether two paths name the same file by their full paths (letter case ignored). An empty path, or one
// that cannot be resolved, is never the same as anything.
bool SameFile(const std::wstring& a, const std::wstring& b);
// The size of the file at `path`; -1 where no file is, or it cannot be looked at.
int64_t FileSize(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
uint32_t GetFileAttr(const std::wstring& path);
void SetFileAttr(const std::wstring& path, uint32_t attributes);
void RemoveFile(const std::wstring& path);
void RemoveFolder(const std::wstring& path);
void CreateFolder(const std::wstring& path);
bool MakePath(const std::wstring& path);
bool KillFile(const std::wstring& path, int16_t retries);
// `failures` may be null ("no list").
bool KillFolder(const std::wstring& folder, bool recurse, std::vector<std::wstring>* failures, bool keepFolder);
std::wstring GetTempFolder();
std::wstring GetLongPath(const std::wstring& path);
std::wstring SystemErrorText(uint32_t code);
int SetCurrentFolder(const std::wstring& path);

// The program's own file: full path, folder (no trailing backslash), name without extension.
std::wstring AppExePath();
std::wstring AppPath();
std::wstring AppExeName();

// A SysError for a platform code, in the plain or the offset form.
SysError MakeSysError(uint32_t code, bool offsetForm);
// Whether a raised error (either form) says the file or its folder is not there.
bool Vanished(const SysError& e);

}  // namespace mGlobal
