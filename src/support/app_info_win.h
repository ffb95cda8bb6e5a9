// The program's title and version, read from its own VERSIONINFO resource.
#pragma once

#include <string>

// "OVPatcher"
std::wstring AppTitle();
// "1.0.12": major.minor.revision
std::wstring AppVersion();
