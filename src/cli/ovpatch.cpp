// ovpatch's verbs, its help and the one place where failures become messages and exit codes.
#include "cli/ovpatch.h"

#include <ostream>

#include "cli/common.h"

namespace ovpatch {

std::string UsageText() {
    return R"(Usage:
  ovpatch build --image OVPatcher.exe --archive data.7z -o DIR [settings...]
  ovpatch build --image OVPatcher.exe --old OLD --new NEW -o DIR [settings...]
  ovpatch inspect PATCH
  ovpatch diff OLD NEW --archive FILE --settings FILE
  ovpatch plan PATCH INSTALLATION [--json] [--windows-path PATH]
  ovpatch --help

build writes DIR/orv_<patch version>_<LANG>.exe (or _MultiLng.exe), byte for byte the
patch the maker window writes from the same image, archive and settings.
  --image FILE            the program to carry (OVPatcher.exe, or a patch to build around)
  --archive FILE          the 7z archive of replacement files (not empty)
  --old DIR --new DIR     in place of --archive: what diff writes from these two
                          releases, the same patch byte for byte
  -o, --output DIR        the folder to write the patch into
  --langs FILE            the message table (default: PatchLang.xml beside the image)
  --from PATCH            start from the settings of an existing patch, as a drop on
                          the maker window does (not its extract path)
  --settings FILE         settings from a UTF-8 file: one "name = value" per line, names
                          as the options below without "--", a value running to the
                          end of its line ("force-menu-restart = yes"); lines
                          starting with "#" are comments
  --suite-version V       the suite version the patch is for (required)
  --patch-version ID      this patch's identifier (default: now, yyyymmddhhnnss)
  --min-patch ID          a patch that must already be installed
  --lang NAME             message language (default: the language file's first)
  --all-languages         install on every language (same as lang-check = no)
  --lang-check yes|no     install only on a suite of that language (default yes)
  --extract-path PATH     folder inside the installation to extract into
  --update-info TEXT      what users read; once per line
  --update-info-file FILE the same, from a text file
  --run-after CMD         a command to run after extraction; once per command
  --delete-after PATH     a path to delete at the end; once per path
  --file-flag ENTRY       a "flags;path" entry; once per entry
  --force-menu-restart    restart the suite's menu in any case
Options override the settings file, which overrides --from. sign.bat is never run:
ovpatch prints the new patch's path so that the next step can sign it.

inspect prints a patch's descriptor fields, block sizes and language blocks, or
why the patcher would not accept the file.

diff compares two folders holding the old and the new release of an installation
(names compared without letter case, files by content) and writes the archive of
the new and changed files, packed with 7zz, and a settings file for build: a
delete-after line per file that is gone, the suite version from NEW's
version.txt, the minimum patch from OLD's OrvanaTools\version.ver. That file is
never shipped: the patcher records itself. It prints what changed, and refuses
(4) when nothing did.

plan says what a patch would do to the installation in a folder, deciding as the
patcher does: its start-up checks (exit 1 with the message the patcher would
show when it refuses), then each archive file added, replaced, unchanged,
skipped by ifexists or excluded, each file deleted afterwards, each command run
afterwards, and the version record before and after. It writes nothing there.
  --windows-path PATH     the folder as Windows names it, for %ORV% (default:
                          %ORV% stays as written; %TMPFLD% always does)
  --json                  the same as one JSON document

Exit codes: 0 done; 1 not a valid patch, or plan: the patcher would refuse it;
2 bad command line; 3 an input cannot be read; 4 the maker would refuse this
build, or diff: nothing to ship; 5 the output cannot be written; 6 7zz (Debian's
7zip package) is not installed.
)";
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            err << UsageText();
            return kUsage;
        }
        const std::string& command = args[0];
        if (command == "--help" || command == "-h" || command == "help" ||
            (args.size() == 2 && (args[1] == "--help" || args[1] == "-h"))) {
            out << UsageText();
            return kOk;
        }
        if (command == "build")
            return BuildCommand(args, out, err);
        if (command == "inspect")
            return InspectCommand(args, out, err);
        if (command == "diff")
            return DiffCommand(args, out, err);
        if (command == "plan")
            return PlanCommand(args, out, err);
        throw Failure{kUsage, "unknown command \"" + command + "\" (see ovpatch --help)"};
    } catch (const Failure& f) {
        err << "ovpatch: " << f.message << "\n";
        return f.code;
    } catch (const SysError& e) {
        err << "ovpatch: " << Utf8(e.description) << "\n";
        return kUnreadable;
    } catch (const std::exception& e) {
        err << "ovpatch: " << e.what() << "\n";
        return kUnreadable;
    }
}

}  // namespace ovpatch
