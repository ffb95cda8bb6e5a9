// Culture names ("fr-FR") for Windows language identifiers, from a fixed table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace mLang {

// "|" + four-character key + culture name, for every entry, and a closing "|". Keys of specific cultures
// are upper-case hexadecimal, those of neutral cultures lower-case, so a lookup by an upper-cased key
// finds the neutral ones only when their key has no letters.
std::string_view LcidTable();

// Key for an explicit language id: upper-case hexadecimal, the last four digits.
std::wstring LangIdKey(int32_t langId);

// Culture name for an exact key, or empty text when the table has no entry for it.
std::wstring FindCultureName(std::wstring_view key);

// What the user's locale can tell; the answers are read by the platform.
enum class LocaleField { LanguageId, AbbrevLangName };
using LocaleQuery = std::function<std::wstring(LocaleField)>;

// Culture name for `langId` (0 = the user's own, read through `userLocale` as hexadecimal digits in any
// case); when the table has no entry, the user's three-letter language abbreviation. `userLocale` may
// throw SysError, which passes through.
std::wstring CultureName(int32_t langId, const LocaleQuery& userLocale);

// "Error <n> (<description>) in Property mLang.WindowsUserLangID".
std::wstring LangIdTraceLine(int32_t number, const std::wstring& description);

}  // namespace mLang
