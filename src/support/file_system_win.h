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

std::wstring GetFullPath(const std::wstring& path, const std::wstring& base);
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

}  // namespace mGlobal
