#include "cli/system.h"

#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>

#include "cli/common.h"
#include "maker/descriptor_builder.h"

namespace ovpatch {

namespace fs = std::filesystem;

namespace {

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t from = 0;
    for (;;) {
        const size_t colon = dirs.find(':', from);
        const std::string dir = dirs.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        if (colon == std::string::npos)
            return false;
        from = colon + 1;
    }
}

}  // namespace

std::string SevenZip(const std::vector<std::string>& args, const std::string& folder) {
    static const char kProgram[] = "7zz";
    if (!OnPath(kProgram))
        throw Failure{kToolMissing, "7zz is not installed: install Debian's 7zip package (apt-get install 7zip)"};
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        throw Failure{kUnreadable, "cannot start 7zz"};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        if (!folder.empty() && chdir(folder.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv{const_cast<char*>(kProgram)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(kProgram, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::string stdoutText, stderrText;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0 && pid > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? stdoutText : stderrText).append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const size_t end = stderrText.find_last_not_of("\n ");
        throw Failure{kUnreadable, "7zz " + (args.empty() ? std::string() : args[0]) + " failed" +
                                       (end == std::string::npos ? std::string() : ": " + stderrText.substr(0, end + 1))};
    }
    return stdoutText;
}

std::wstring FoldCase(const std::wstring& text) {
    // Windows folds every script's letters; the C locale's tables know only ASCII.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    std::wstring folded = text;
    for (wchar_t& c : folded)
        c = unicode ? static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), unicode))
                    : static_cast<wchar_t>(towupper(static_cast<wint_t>(c)));
    return folded;
}

std::string WindowsNameProblem(const std::wstring& name) {
    if (!frmMaker::IsUsableFileName(name))
        return "holds a character Windows names cannot (\\ / : * ? \" < > | or a control character) or ends "
               "in a dot or a blank";
    // Device names stay devices in every folder, with any extension.
    std::wstring stem = FoldCase(name.substr(0, name.find(L'.')));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* device : kDevices)
        if (stem == device)
            return "is a device name on Windows";
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
        stem[3] >= L'1' && stem[3] <= L'9')
        return "is a device name on Windows";
    return {};
}

Tree ReadTree(const std::string& folder, const char* what) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        throw Failure{kUnreadable, std::string(what) + " " + folder + " is not a folder"};
    Tree tree;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string relativeBytes = fs::relative(path, folder).string();
        const auto refuse = [&](const std::string& why) {
            throw Failure{kRefused, std::string(what) + " " + relativeBytes + " " + why};
        };
        const fs::file_status status = it->symlink_status(ec);
        if (fs::is_symlink(status))
            refuse("is a link: an installation holds plain files and folders");
        const std::wstring name = Wide(path.filename().string());
        if (Utf8(name) != path.filename().string())
            refuse("has a name that is not UTF-8");
        if (const std::string problem = WindowsNameProblem(name); !problem.empty())
            refuse(problem);
        if (fs::is_directory(status))
            continue;
        if (!fs::is_regular_file(status))
            refuse("is not a plain file");
        std::wstring relative = Wide(relativeBytes);
        for (wchar_t& c : relative)
            if (c == L'/')
                c = L'\\';
        TreeFile file{relative, path.string(), it->file_size(ec)};
        const auto [at, added] = tree.emplace(FoldCase(relative), file);
        if (!added)
            refuse("and " + Utf8(at->second.relative) + " differ only in letter case: Windows holds one of them");
    }
    if (ec)
        throw Failure{kUnreadable, "cannot read " + std::string(what) + " " + folder + ": " + ec.message()};
    return tree;
}

TempFolder::TempFolder(const fs::path& near) {
    std::string pattern = (near / ".ovpatch-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw Failure{kWriteFailed, "cannot create a folder in " + near.string()};
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

bool SameContent(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y)
        throw Failure{kUnreadable, "cannot read " + std::string(!x ? a : b)};
    std::vector<char> bx(1 << 16), by(1 << 16);
    for (;;) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount() || std::memcmp(bx.data(), by.data(), static_cast<size_t>(x.gcount())) != 0)
            return false;
        if (!x || !y)
            return !x && !y;
    }
}

}  // namespace ovpatch
