#include "support/lang_id_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/trace.h"

namespace {

std::wstring UserAbbreviation() {
    wchar_t buffer[500] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, buffer, 500);
    return buffer;
}

TEST(WindowsUserLangIDWin, ExplicitIds) {
    TraceCapture trace;
    EXPECT_EQ(mLang::WindowsUserLangID(0x040C), L"fr-FR");
    EXPECT_EQ(mLang::WindowsUserLangID(1), L"ar");
    // No usable entry: the user's abbreviation, from the platform.
    const std::wstring abbreviation = UserAbbreviation();
    ASSERT_EQ(abbreviation.size(), 3u);
    EXPECT_EQ(mLang::WindowsUserLangID(0x7C04), abbreviation);
    EXPECT_TRUE(trace.errors().empty());
}

TEST(WindowsUserLangIDWin, UserLocale) {
    // Which language the session has depends on the machine; the name comes from the table or is the
    // abbreviation, and nothing fails on the way.
    TraceCapture trace;
    const std::wstring name = mLang::WindowsUserLangID(0);
    EXPECT_TRUE(name.find(L'-') != std::wstring::npos || name == UserAbbreviation()) << name;
    EXPECT_TRUE(trace.errors().empty());
}

}  // namespace
