// Lists an archive of 5,000 entries through the archiver driver (GetFileList "*" with -r) and the
// same listing run directly (the archiver alone, its output read to the end at full speed, through a
// pipe and into a file), and prints the times and the driver's against the archiver's into a file.
// The driver's extra cost is its timer: the output file is read once per tick.
//
// Usage: bench_7z_listing.exe [folder with 7z.exe and 7z.dll]   (default: OV_7Z_DIR)
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/bench_support.h"
#include "process/sevenzip_win.h"
#include "support/handles_win.h"

namespace {

constexpr int kEntries = 5000;
constexpr int kRounds = 5;

// Runs a command line with its output in a pipe, reads that to the end, waits for the exit.
// Returns the number of bytes read, or -1.
long long RunDirect(const std::wstring& cmdLine, const std::wstring& folder, DWORD pipeSize = 0) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &sa, pipeSize))
        return -1;
    UniqueHandle read(r), write(w);
    SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);
    ProcessInfo process;
    if (!bench::StartHidden(cmdLine, folder, write.get(), process))
        return -1;
    write.reset();  // so that the read ends when the child is gone
    long long total = 0;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(read.get(), buf, sizeof(buf), &got, nullptr) && got > 0)
        total += got;
    WaitForSingleObject(process.process.get(), INFINITE);
    return total;
}

// The same, with the child's output going to a temporary file that is read once it has ended.
long long RunToFile(const std::wstring& cmdLine, const std::wstring& file) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    UniqueHandle write(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    UniqueHandle read(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ProcessInfo process;
    if (!bench::StartHidden(cmdLine, L"", write.get(), process))
        return -1;
    write.reset();
    WaitForSingleObject(process.process.get(), INFINITE);
    long long total = 0;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(read.get(), buf, sizeof(buf), &got, nullptr) && got > 0)
        total += got;
    return total;
}

std::wstring Folder(const wchar_t* env) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::wstring given = argv && argc > 1 ? argv[1] : L"";
    LocalFree(argv);
    if (!given.empty())
        return given;
    wchar_t buf[MAX_PATH * 2];
    const DWORD n = GetEnvironmentVariableW(env, buf, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(buf, n) : std::wstring();
}

}  // namespace

int main() {
    const std::wstring sevenZipDir = Folder(L"OV_7Z_DIR");
    if (sevenZipDir.empty()) {
        std::printf("usage: bench_7z_listing <folder with 7z.exe and 7z.dll> (or set OV_7Z_DIR)\n");
        return 2;
    }
    const std::wstring sevenZip = sevenZipDir + L"\\7z.exe";

    wchar_t tmp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, tmp);
    const std::wstring root = std::wstring(tmp) + L"ov bench listing " + std::to_wstring(GetCurrentProcessId());
    const std::wstring src = root + L"\\src";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(src.c_str(), nullptr);

    // 50 folders of 100 files, minus the folders themselves: 5,000 entries in all.
    const int folders = 50;
    const int filesPerFolder = (kEntries - folders) / folders;
    for (int d = 0; d < folders; ++d) {
        const std::wstring dir = src + L"\\folder " + std::to_wstring(d);
        CreateDirectoryW(dir.c_str(), nullptr);
        for (int f = 0; f < filesPerFolder; ++f)
            bench::WriteAll(dir + L"\\file " + std::to_wstring(f) + L".txt", "entry " + std::to_string(f));
    }
    const std::wstring archive = root + L"\\listing.7z";
    if (RunDirect(L"\"" + sevenZip + L"\" a -y \"" + archive + L"\" *", src) < 0) {
        std::printf("could not run %ls\n", sevenZip.c_str());
        return 1;
    }

    std::vector<double> direct, directBigPipe, toFile, driver;
    long long directBytes = 0;
    size_t listChars = 0;
    c7z z;
    z.SetPath7zip(sevenZip);
    z.SetFileName(archive);
    for (int round = 0; round < kRounds; ++round) {
        double t0 = bench::NowMs();
        directBytes = RunDirect(L"\"" + sevenZip + L"\" l -r -slt \"" + archive + L"\"", L"");
        direct.push_back(bench::NowMs() - t0);

        t0 = bench::NowMs();
        RunDirect(L"\"" + sevenZip + L"\" l -r -slt \"" + archive + L"\"", L"", 1 << 20);
        directBigPipe.push_back(bench::NowMs() - t0);

        t0 = bench::NowMs();
        RunToFile(L"\"" + sevenZip + L"\" l -r -slt \"" + archive + L"\"", root + L"\\listing.txt");
        toFile.push_back(bench::NowMs() - t0);

        t0 = bench::NowMs();
        const std::wstring list = z.GetFileList(L"*", true);
        driver.push_back(bench::NowMs() - t0);
        listChars = list.size();
    }

    size_t entries = 0;
    for (size_t pos = 0; (pos = z.Last7zReport().find(L"\r\nPath = ", pos)) != std::wstring::npos; ++pos)
        ++entries;
    const double d = bench::Median(direct);
    const double g = bench::Median(driver);
    std::printf("archive: %zu entries listed (%lld bytes of listing)\n", entries - 1, directBytes);
    std::printf("7z l -r -slt directly      : %8.1f ms (median of %d)\n", d, kRounds);
    std::printf("  same, 1 MiB pipe         : %8.1f ms (median of %d)\n", bench::Median(directBigPipe), kRounds);
    std::printf("  same, to a file          : %8.1f ms (median of %d)\n", bench::Median(toFile), kRounds);
    std::printf("c7z::GetFileList(\"*\", -r)  : %8.1f ms (median of %d), %zu characters kept\n", g, kRounds, listChars);
    std::printf("ratio driver / direct      : %8.2f\n", g / d);
    std::printf("ratio driver / to a file   : %8.2f\n", g / bench::Median(toFile));

    std::wstring from = root;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
    return 0;
}
