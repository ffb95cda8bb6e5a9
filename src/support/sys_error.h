// The error that the primitive file wrappers raise; their callers decide what it means.
#pragma once

#include <cstdint>
#include <string>

// Added to a platform code by the wrappers that report in the "offset" form.
constexpr int32_t kErrOffset = static_cast<int32_t>(0x80040000u);

struct SysError {
    int32_t number = 0;
    std::wstring description;
};
