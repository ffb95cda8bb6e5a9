// Reads the program's title and version from the bytes of a VERSIONINFO resource.
#pragma once

#include <cstdint>
#include <string>

struct VersionInfo {
    bool valid = false;
    uint16_t major = 0, minor = 0, build = 0, revision = 0;  // FILEVERSION a,b,c,d
    std::wstring productName;
    std::wstring fileDescription;
};

VersionInfo ParseVersionResource(const std::string& bytes);
