#include "appclose/installations_win.h"

#include "appclose/app_list_win.h"
#include "appclose/installations.h"
#include "support/file_system_win.h"

namespace mAppClose {

std::vector<std::wstring> FindInstallations() {
    std::vector<std::wstring> menus;
    std::vector<DWORD> pids;
    GetAppList(menus, L"*OrvanaMenu.exe", pids, 0);
    return RootsOfMenus(menus, [](const std::wstring& root) { return mGlobal::FileExists(root + L"\\Orvana.exe"); });
}

}  // namespace mAppClose
