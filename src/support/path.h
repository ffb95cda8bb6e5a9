// Path splitting that needs no platform call. Both "\" and "/" separate.
#pragma once

#include <string>

namespace mGlobal {
std::wstring FilePathOnly(const std::wstring& path);
std::wstring FileNameOnly(const std::wstring& path);
// Appends "/" when the text holds a "/" anywhere, else "\", unless it already ends with either.
std::wstring AddSlash(std::wstring& text);
// A folder's path with one "\" at its end, added when missing (also to empty text).
std::wstring WithSlash(std::wstring path);
// A folder's path without the "\" at its end, when it has one: the form a folder is created, moved or
// looked at in.
std::wstring WithoutSlash(std::wstring path);
// "\\?\" before a drive-letter path, so that it may exceed the classic length; the drive-letter half
// of ExtendedPath.
std::wstring LongPathPrefix(const std::wstring& path);
// True when the path says which volume it lies on: "\\..." (a share, or a long form) and "X:...". The
// drive-relative "X:foo" counts too, and the current drive's "\foo" does not.
bool NamesVolume(const std::wstring& path);
// The part of a full path that names its volume and cannot be created: "X:", "\\server\share", or
// either after "\\?\" ("\\?\UNC\server\share"); empty for a relative path.
std::wstring VolumePart(const std::wstring& path);
// The form a full path is given to the wide file calls, so that it may exceed the classic length:
// "\\?\" before a drive-letter path, "\\?\UNC\" in place of the "\\" of a share's path. The shell's file
// calls take ApiPath (file_system_win.h), which makes the path full first and then applies this.
std::wstring ExtendedPath(const std::wstring& path);
}  // namespace mGlobal
