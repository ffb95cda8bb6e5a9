// Which running menus mark an installation: the part of finding installations that needs no platform.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace mAppClose {

// The menu program sits at <root>\OrvanaTools\OrvanaMenu\OrvanaMenu.exe: three steps up is the root.
// Empty when the path has fewer than three levels above the file.
std::wstring RootOfMenu(const std::wstring& menuPath);

// Roots of the running menus whose root holds "Orvana.exe" (`isInstallation` says so), last menu first.
// Two menus of one installation give two entries: they count as two running installations.
std::vector<std::wstring> RootsOfMenus(const std::vector<std::wstring>& menuPaths,
                                       const std::function<bool(const std::wstring& root)>& isInstallation);

// The running menu that belongs to `root`: the first of `menuPaths` whose root is the same folder, as
// `sameFolder` tells; else empty. Another installation's menu, or a stray one, is never the one the apply
// closes and restarts.
std::wstring MenuOfRoot(const std::vector<std::wstring>& menuPaths,
                        const std::wstring& root,
                        bool (*sameFolder)(const std::wstring&, const std::wstring&));

}  // namespace mAppClose
