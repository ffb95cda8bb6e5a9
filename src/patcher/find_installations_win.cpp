#include "patcher/find_installations_win.h"

#include "appclose/app_list_win.h"
#include "patcher/install_check.h"
#include "support/file_system_win.h"

namespace frmMain {

std::vector<std::wstring> FindInstallations() {
    std::vector<std::wstring> menus;
    std::vector<DWORD> pids;
    mAppClose::GetAppList(menus, L"*OrvanaMenu.exe", pids, 0);
    return mInstallCheck::RootsOfMenus(
        menus, [](const std::wstring& root) { return mGlobal::FileExists(root + L"\\Orvana.exe"); });
}

}  // namespace frmMain
