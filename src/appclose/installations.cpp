#include "appclose/installations.h"

#include "support/path.h"

namespace mAppClose {

std::wstring RootOfMenu(const std::wstring& menuPath) {
    std::wstring root = menuPath;
    for (int up = 0; up < 3; ++up) {
        const std::wstring parent = mGlobal::FilePathOnly(root);
        // Fewer than three levels: stripping would stop at the drive, which is not where this menu's root is.
        if (parent == root || parent.empty())
            return {};
        root = parent;
    }
    return root;
}

std::vector<std::wstring> RootsOfMenus(const std::vector<std::wstring>& menuPaths,
                                       const std::function<bool(const std::wstring& root)>& isInstallation) {
    std::vector<std::wstring> roots;
    for (auto it = menuPaths.rbegin(); it != menuPaths.rend(); ++it) {
        const std::wstring root = RootOfMenu(*it);
        if (!root.empty() && isInstallation(root))
            roots.push_back(root);
    }
    return roots;
}

std::wstring MenuOfRoot(const std::vector<std::wstring>& menuPaths,
                        const std::wstring& root,
                        bool (*sameFolder)(const std::wstring&, const std::wstring&)) {
    for (const std::wstring& path : menuPaths) {
        const std::wstring menuRoot = RootOfMenu(path);
        if (!menuRoot.empty() && sameFolder(menuRoot, root))
            return path;
    }
    return std::wstring();
}

}  // namespace mAppClose
