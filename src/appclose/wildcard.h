// Pattern matching for program paths, window classes and window titles.
//
// The whole text must match the whole pattern. "*" matches any run of characters (also none), "?" any one
// character, "#" any one digit 0-9, "[list]" any one character of the list and "[!list]" any one character
// outside it. A list holds single characters and ranges such as "a-z"; a "-" first or last in the list is
// itself. Every other character matches itself, letters without regard to case.
//
// Forgiving where a stricter matcher would reject the pattern: an unclosed "[" is an ordinary character,
// "[]" matches nothing (zero characters), "[!]" matches any one character, and a reversed range ("z-a")
// contains nothing.
#pragma once

#include <string>
#include <string_view>

namespace mAppClose {

// Maps a character to the form in which two characters that differ only in letter case become equal.
using CaseFold = wchar_t (*)(wchar_t);

// Upper-case folding of the Latin letters (Basic Latin, Latin-1 and Latin Extended-A); everything else is
// returned unchanged. Used where no locale-aware folding is passed in.
wchar_t FoldLatin(wchar_t c);

bool WildcardMatch(std::wstring_view text, std::wstring_view pattern, CaseFold fold = FoldLatin);

// Returns a pattern that matches exactly `text` (letter case aside), so that a path whose folder holds
// "#", "?", "*" or "[" can be used as a pattern or as the fixed part of one.
std::wstring EscapeWildcard(std::wstring_view text);

}  // namespace mAppClose
