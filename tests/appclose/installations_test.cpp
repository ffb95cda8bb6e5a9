#include "appclose/installations.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

TEST(Installations, RootsOfMenus) {
    const std::vector<std::wstring> menus = {
        L"C:\\A b\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
        L"D:\\Stray\\OrvanaMenu.exe",
        L"D:\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
        L"E:\\\u00c9t\u00e9\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
        L"C:\\A b\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
    };
    std::vector<std::wstring> asked;
    const auto roots = mAppClose::RootsOfMenus(menus, [&](const std::wstring& root) {
        asked.push_back(root);
        return root != L"E:\\\u00c9t\u00e9";
    });
    // Last process first; the same installation twice stays twice; a menu with no root above is not asked.
    EXPECT_EQ(roots, (std::vector<std::wstring>{L"C:\\A b", L"D:", L"C:\\A b"}));
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"C:\\A b", L"E:\\\u00c9t\u00e9", L"D:", L"C:\\A b"}));
}

TEST(Installations, MenuOfRoot) {
    const std::vector<std::wstring> menus = {
        L"D:\\Stray\\OrvanaMenu.exe",
        L"C:\\Other\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
        L"C:\\A b\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
    };
    const auto sameFolder = [](const std::wstring& a, const std::wstring& b) {
        std::wstring x = a, y = b;
        for (std::wstring* s : {&x, &y})
            for (wchar_t& c : *s)
                c = static_cast<wchar_t>(towlower(c));
        return x == y;
    };
    EXPECT_EQ(mAppClose::MenuOfRoot(menus, L"C:\\A b", sameFolder), menus[2]);
    EXPECT_EQ(mAppClose::MenuOfRoot(menus, L"c:\\a B", sameFolder), menus[2]);
    // Another installation's menu is never taken for this one's.
    EXPECT_EQ(mAppClose::MenuOfRoot(menus, L"E:\\Gone", sameFolder), L"");
    EXPECT_EQ(mAppClose::MenuOfRoot({}, L"C:\\A b", sameFolder), L"");
}

}  // namespace
