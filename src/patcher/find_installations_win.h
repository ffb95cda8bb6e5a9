// The patcher window's name for the installation finder, which the maker shares.
#pragma once

#include "appclose/installations_win.h"

namespace frmMain {
using mAppClose::FindInstallations;
}  // namespace frmMain
