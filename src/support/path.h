// Path splitting that needs no platform call. Both "\" and "/" separate.
#pragma once

#include <string>

namespace mGlobal {
std::wstring FilePathOnly(const std::wstring& path);
std::wstring FileNameOnly(const std::wstring& path);
// Appends "/" when the text holds a "/" anywhere, else "\", unless it already ends with either.
std::wstring AddSlash(std::wstring& text);
// "\\?\" before a drive-letter path, so that it may exceed the classic length.
std::wstring LongPathPrefix(const std::wstring& path);
// True for "\\..." and "X:..." paths.
bool IsRootedPath(const std::wstring& path);
// The part of a full path that names its volume and cannot be created: "X:", "\\server\share", or
// either after "\\?\" ("\\?\UNC\server\share"); empty for a relative path.
std::wstring VolumePart(const std::wstring& path);
// The form a full path is given to the wide file calls, so that it may exceed the classic length:
// "\\?\" before a drive-letter path, "\\?\UNC\" in place of the "\\" of a share's path.
std::wstring ExtendedPath(const std::wstring& path);
}  // namespace mGlobal
