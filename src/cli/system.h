// What diff and plan ask of the system: the archiver (Debian's 7zz), file names compared and checked as
// Windows does, and a folder's files found under Windows-style relative paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace ovpatch {

// Runs 7zz with `args` (in `folder` when given). A kToolMissing failure when 7zz is not installed; a
// kUnreadable one, with its last line, when it fails.
void SevenZip(const std::vector<std::string>& args, const std::string& folder = "");

// The text with letter case folded as Windows compares file names (simple upper case, beyond Latin too).
std::wstring FoldCase(const std::wstring& text);
// The text in lower case, beyond Latin too, as the user's locale gives it on Windows.
std::wstring LowerCase(const std::wstring& text);

// Why `name` (one component) cannot be a file name on Windows; empty when it can.
std::string WindowsNameProblem(const std::wstring& name);

// The placeholder of a delete-after line or command that `name` holds ("%LNG%"); empty when it holds none.
// The patcher expands them wherever they stand, so such a name would name another file once expanded.
std::string PlaceholderIn(const std::wstring& name);

// The files and folders under a folder, by their relative path with "\" separators, folded as FoldCase does.
struct TreeFile {
    std::wstring relative;  // as the folder spells it, "\"-separated
    std::string path;       // the file on this system
    uintmax_t size = 0;
    bool folder = false;
};
using Tree = std::map<std::wstring, TreeFile>;
// Refuses (kRefused) what a Windows installation or the patcher cannot hold: links, special files, names
// Windows cannot have or that hold a placeholder, and two names, files or folders, that differ only in
// letter case.
Tree ReadTree(const std::string& folder, const char* what);

// Whether two files hold the same bytes.
bool SameContent(const std::string& a, const std::string& b);

// A new folder in `near`, removed with what it holds when the object goes.
class TempFolder {
  public:
    explicit TempFolder(const std::filesystem::path& near);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace ovpatch
