// The installations whose menu program is running.
#pragma once

#include <string>
#include <vector>

namespace mAppClose {
// Root of every running OrvanaMenu.exe that sits three levels below a folder holding "Orvana.exe", in the
// reverse of the system's process order. Two menus of one installation give that root twice.
std::vector<std::wstring> FindInstallations();
}  // namespace mAppClose
