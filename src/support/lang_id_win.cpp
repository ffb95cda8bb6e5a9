#include "support/lang_id_win.h"

#include <windows.h>

#include "support/file_system_win.h"
#include "support/lang_id.h"
#include "support/trace.h"

namespace mLang {

namespace {

std::wstring UserLocaleInfo(LocaleField field) {
    const LCTYPE type = field == LocaleField::LanguageId ? LOCALE_ILANGUAGE : LOCALE_SABBREVLANGNAME;
    wchar_t buffer[500] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buffer, 500) == 0) {
        throw mGlobal::MakeSysError(GetLastError(), false);
    }
    // Cut at the first NUL.
    return std::wstring(buffer);
}

}  // namespace

std::wstring WindowsUserLangID(int32_t langId) {
    try {
        return CultureName(langId, UserLocaleInfo);
    } catch (const SysError& e) {
        TraceError(LangIdTraceLine(e.number, e.description));
    }
    return {};
}

}  // namespace mLang
