// The user's culture name, such as "fr-FR".
#pragma once

#include <cstdint>
#include <string>

namespace mLang {

// Culture name for `langId`, 0 meaning the current user's language; the user's three-letter language
// abbreviation (such as FRA) when the table has no entry. Empty text, traced, when the platform fails.
std::wstring WindowsUserLangID(int32_t langId);

}  // namespace mLang
