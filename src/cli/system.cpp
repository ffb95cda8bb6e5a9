#include "cli/system.h"

#include <locale.h>
#include <sys/wait.h>

#include <stdlib.h>

#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>

#include "cli/common.h"
#include "maker/descriptor_builder.h"

namespace ovpatch {

namespace fs = std::filesystem;

void SevenZip(const std::vector<std::string>& args, const std::string& folder) {
    if (!OnPath("7zz"))
        throw Failure{kToolMissing, std::string(kNoSevenZip) + ": install it (apt-get install 7zip)"};
    std::vector<std::string> argv = {"7zz"};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = 0;
    std::string output = RunCaptured(argv, status, folder);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        output.erase(output.find_last_not_of("\n ") + 1);
        throw Failure{kUnreadable, "7zz " + args.front() + " failed: " + output.substr(output.rfind('\n') + 1)};
    }
}

namespace {

// Every character through `map` in a Unicode locale: Windows maps every script's letters, the C locale's
// tables know only ASCII.
std::wstring MapCase(const std::wstring& text, wint_t (*map)(wint_t, locale_t)) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    static const locale_t plain = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    std::wstring mapped = text;
    for (wchar_t& c : mapped)
        c = static_cast<wchar_t>(map(static_cast<wint_t>(c), unicode ? unicode : plain));
    return mapped;
}

}  // namespace

std::wstring FoldCase(const std::wstring& text) {
    return MapCase(text, towupper_l);
}

std::wstring LowerCase(const std::wstring& text) {
    return MapCase(text, towlower_l);
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
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) && stem[3] >= L'1' &&
        stem[3] <= L'9')
        return "is a device name on Windows";
    return {};
}

std::string PlaceholderIn(const std::wstring& name) {
    for (const wchar_t* placeholder : {L"%ORV%", L"%TMPFLD%", L"%LNG%"})
        if (name.find(placeholder) != std::wstring::npos)
            return Utf8(placeholder);
    return {};
}

Tree ReadTree(const std::string& folder, const char* what) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        throw Failure{kUnreadable, std::string(what) + " " + folder + " is not a folder"};
    Tree tree;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        ThrowIfStopped();
        const fs::path& path = it->path();
        // Named as it lies under the folder: fs::relative would follow a link and name its target.
        std::string relativeBytes = path.string().substr(folder.size());
        relativeBytes.erase(0, relativeBytes.find_first_not_of('/'));
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
        if (const std::string placeholder = PlaceholderIn(name); !placeholder.empty())
            refuse("holds " + placeholder +
                   ", which the patcher expands in a delete-after line or a command: it would name another file");
        const bool folder = fs::is_directory(status);
        if (!folder && !fs::is_regular_file(status))
            refuse("is not a plain file");
        std::wstring relative = Wide(relativeBytes);
        for (wchar_t& c : relative)
            if (c == L'/')
                c = L'\\';
        TreeFile file{relative, path.string(), folder ? 0 : it->file_size(ec), folder};
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
