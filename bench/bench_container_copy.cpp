// Copies the archive (block 1) out of a patch that carries 1 GiB, and a plain file of the same bytes with
// CopyFileW, and prints both times and the process's peak memory.
// Usage: bench_container_copy [folder for the 3 GiB of test files] [rounds]
#include <windows.h>

#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "container/patch_container.h"
#include "container/patch_file_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"

namespace {

constexpr int64_t kArchiveSize = int64_t{1} << 30;
constexpr size_t kChunk = 4 << 20;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

UniqueFile Create(const std::wstring& path) {
    return UniqueFile(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Writes the archive bytes both as a plain file and as block 1 of a patch.
bool MakeTestFiles(const std::wstring& patchPath, const std::wstring& archivePath) {
    UniqueFile patch = Create(patchPath);
    UniqueFile archive = Create(archivePath);
    if (!patch || !archive) {
        return false;
    }
    std::vector<char> buffer(kChunk);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < 65536; ++i) {
        buffer[i] = static_cast<char>("MZ"[i % 2]);
    }
    if (!WriteAll(patch.get(), buffer.data(), 65536)) {
        return false;
    }
    for (int64_t done = 0; done < kArchiveSize; done += kChunk) {
        for (size_t i = 0; i < kChunk; i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(buffer.data() + i, &state, 8);
        }
        if (!WriteAll(patch.get(), buffer.data(), kChunk) || !WriteAll(archive.get(), buffer.data(), kChunk)) {
            return false;
        }
    }
    std::string trailer = mGlobal::LengthField(static_cast<uint32_t>(kArchiveSize));
    const std::string descriptor = "<ORVPatch><PatchVersion>20141114055922</PatchVersion></ORVPatch>\r\n";
    mGlobal::AppendBlock(trailer, descriptor);
    trailer.append(mGlobal::kPatchMarker);
    return WriteAll(patch.get(), trailer.data(), trailer.size());
}

bool SameContent(const std::wstring& a, const std::wstring& b) {
    UniqueFile fa(CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    UniqueFile fb(CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!fa || !fb) {
        return false;
    }
    std::vector<char> ba(kChunk), bb(kChunk);
    for (;;) {
        DWORD na = 0, nb = 0;
        if (!ReadFile(fa.get(), ba.data(), kChunk, &na, nullptr) ||
            !ReadFile(fb.get(), bb.data(), kChunk, &nb, nullptr) || na != nb ||
            std::memcmp(ba.data(), bb.data(), na) != 0) {
            return false;
        }
        if (na == 0) {
            return true;
        }
    }
}

double Mib(SIZE_T bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring folder = argc > 1 ? argv[1] : mGlobal::GetTempFolder() + L"ov_bench_copy";
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 3;
    if (!mGlobal::MakePath(folder)) {
        std::fprintf(stderr, "cannot create the work folder\n");
        return 1;
    }
    const std::wstring patch = folder + L"\\orv_bench.exe";
    const std::wstring archive = folder + L"\\archive.7z";
    const std::wstring extracted = folder + L"\\patch.dat";
    const std::wstring copied = folder + L"\\copy.7z";
    std::printf("writing the test files (%lld-byte archive)...\n", static_cast<long long>(kArchiveSize));
    if (!MakeTestFiles(patch, archive)) {
        std::fprintf(stderr, "cannot write the test files\n");
        mGlobal::KillFolder(folder, true, nullptr, false);
        return 1;
    }

    std::vector<double> extractTimes, copyTimes;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        DeleteFileW(extracted.c_str());
        DeleteFileW(copied.c_str());
        // Alternate the order so neither always runs on a warmer cache.
        for (int step = 0; step < 2; ++step) {
            const bool extractNow = (round + step) % 2 == 0;
            const double start = Now();
            if (extractNow) {
                try {
                    mGlobal::ExtractPatchData(extracted, 1, patch);
                } catch (const SysError& e) {
                    std::fprintf(stderr, "ExtractPatchData failed: %d\n", e.number);
                    ok = false;
                }
                extractTimes.push_back(Now() - start);
            } else {
                ok = ok && CopyFileW(archive.c_str(), copied.c_str(), FALSE);
                copyTimes.push_back(Now() - start);
            }
        }
    }
    const bool same = ok && SameContent(extracted, archive);

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    mGlobal::KillFolder(folder, true, nullptr, false);
    if (!ok) {
        std::fprintf(stderr, "a copy failed\n");
        return 1;
    }

    std::sort(extractTimes.begin(), extractTimes.end());
    std::sort(copyTimes.begin(), copyTimes.end());
    const double extract = extractTimes[extractTimes.size() / 2];
    const double copy = copyTimes[copyTimes.size() / 2];
    std::printf("block 1 of the patch (ExtractPatchData): median %.3f s, best %.3f s (%.0f MiB/s)\n", extract,
                extractTimes.front(), 1024.0 / extract);
    std::printf("plain copy (CopyFileW):                  median %.3f s, best %.3f s (%.0f MiB/s)\n", copy,
                copyTimes.front(), 1024.0 / copy);
    std::printf("ratio (median): %.2f\n", extract / copy);
    std::printf("bytes identical: %s\n", same ? "yes" : "NO");
    std::printf("peak working set: %.1f MiB, peak private bytes: %.1f MiB\n", Mib(counters.PeakWorkingSetSize),
                Mib(counters.PeakPagefileUsage));
    return same ? 0 : 1;
}
