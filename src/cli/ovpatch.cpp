// ovpatch's verbs, its help and the one place where failures become messages and exit codes.
#include "cli/ovpatch.h"

#include <csignal>
#include <ostream>
#include <sstream>

#include "support/version.h"
#include "cli/common.h"

namespace ovpatch {

namespace {

// The help in parts, so that each verb's --help gives its own.
constexpr const char kUsageLines[] = R"(  ovpatch build --image OVPatcher.exe --archive data.7z -o DIR [settings...]
  ovpatch build --image OVPatcher.exe --old OLD --new NEW [--delta [--keep-whole]] -o DIR [settings...]
  ovpatch inspect [--json] [--list] PATCH
  ovpatch diff OLD NEW --archive FILE --settings FILE [--delta [--keep-whole]] [--force] [--json] [--quiet]
  ovpatch plan PATCH INSTALLATION [--json] [--windows-path PATH] [--quiet]
  ovpatch --version | --help)";
constexpr const char kBuildHelp[] =
    R"(build writes DIR/orv_<patch version>_<LANG>.exe (or _MultiLng.exe), byte for byte the
patch the maker window writes from the same image, archive and settings.
  --image FILE            the program to carry: OVPatcher.exe, or a patch, whose program
                          part is then used
  --archive FILE          the 7z archive of replacement files; it must list a file and
                          pass 7-Zip's test, data behind a password failing it
                          (checked with 7zz, Debian package 7zip, when installed)
  --old DIR --new DIR     in place of --archive: the archive and settings that diff
                          writes from these two releases, the same patch byte for
                          byte (the settings file and options override them, but
                          their run-after, delete-after and file-flag lines come
                          after diff's; --extract-path is refused with them)
  -o, --output DIR        the folder to write the patch into
  --force                 replace a patch of the same name in DIR
  --allow-downgrade       with --old and --new: make the patch also when NEW's suite
                          version is older than OLD's
  --delta, --keep-whole   with --old and --new: changed files travel as deltas, as
                          diff --delta makes them (see diff --help)
  --quiet                 no notes or progress on standard error, only errors
  --langs FILE            the message table (default: PatchLang.xml beside the image);
                          every language must have every message
  --from PATCH            start from every setting of an existing patch but its
                          identifier
  --settings FILE         settings from a UTF-8 file: one "name = value" per line,
                          for every option here but --settings, named without "--"
                          ("force-menu-restart = yes", "image = OVPatcher.exe"); a
                          value runs to the end of its line, a relative path is taken
                          from the file's folder; lines starting with "#" are comments
  --suite-version V       the suite version the patch is for (required)
  --patch-version ID      this patch's identifier, 14 digits (default: now,
                          yyyymmddhhnnss, or SOURCE_DATE_EPOCH in UTC when it is set)
  --min-patch ID          a patch that must already be installed, 14 digits, not newer
                          than this one
  --lang NAME             message language (default: the language file's first)
  --lang-check[=yes|no]   install only on a suite of that language (default yes)
  --all-languages[=yes|no]  install on every language (same as --lang-check=no)
  --extract-path PATH     folder inside the installation to extract into
  --update-info TEXT      what users read; once per line
  --update-info-file FILE the same, from a text file
  --run-after CMD         a command to run after extraction; once per command
  --delete-after PATH     a path to delete at the end; once per path
  --file-flag ENTRY       a "flags;path" entry; once per entry
  --force-menu-restart[=yes|no]  restart the suite's menu in any case
A switch alone means yes; "--name=no" or "--name no" turns it off, as "name = no" does in
a settings file. Options override the settings file, which overrides --from. A list
entry may not hold "|", and no value may hold "</" or a tag of the patch's descriptor
(the update text may hold its language blocks, <EN>...</EN>). sign.bat is never run:
ovpatch prints the new patch's path so that the next step can sign it.)";
constexpr const char kInspectHelp[] =
    R"(inspect prints a patch's descriptor fields, block sizes and language blocks with any
messages they lack, or why the patcher would not accept the file. --json prints the
same as one JSON object (list fields as arrays); --list adds the archive's files, read
with 7zz.)";
constexpr const char kDiffHelp[] = R"(diff compares two folders holding the old and the new release of an installation
(names compared without letter case, files by content) and writes the archive of
the new and changed files and new empty folders, packed with 7zz, and a settings
file for build: a delete-after line per file that is gone, the suite version from
NEW's version.txt, the minimum patch from OLD's OrvanaTools\version.ver. That file
is never shipped: the patcher records itself. It prints what changed (folders that
are gone are left in place: the patcher deletes files), exits 7 when nothing did,
and refuses (4) any name that Windows or the patcher cannot take: links, device names,
names holding %ORV%, %TMPFLD% or %LNG%, two files or folders differing only in case,
a name starting with a blank (7zz cannot be given it), and a minimum patch in OLD's
version.ver that is no identifier.
With SOURCE_DATE_EPOCH set, file times later than it are set back to it in the
archive, so that the same content gives the same archive byte for byte.
  --force                 replace an archive or settings file that exists
  --json                  the changes and the summary as one JSON object
  --allow-downgrade       make the patch also when NEW's suite version is older than
                          OLD's (refused otherwise)
  --quiet                 no progress on standard error, only errors
  --delta                 a changed file of at least 4,096 bytes travels as a delta
                          (the instructions that turn OLD's copy into NEW's, under
                          OVPatcher.tmp/delta/ in the archive) when its delta, packed
                          by 7zz on its own, takes at most 75 % of what the file
                          itself packs to; otherwise, and for added files, the file
                          travels whole. Each changed file's line says which, with
                          both packed sizes. The patcher rebuilds the file from the
                          installed copy and refuses the patch, before it stops
                          anything, where that copy is not OLD's (edited, another
                          version, damaged)
  --keep-whole            with --delta: each file that travels as a delta also travels
                          whole, and the patcher puts the whole file in place where
                          the installed copy is not OLD's, instead of refusing)";
constexpr const char kPlanHelp[] = R"(plan says what a patch would do to the installation in a folder, deciding as the
patcher does: its start-up checks (exit 1 with the message the patcher would show
when it refuses; for CantUpdate a "because:" line, "why" in JSON, names what is
missing: 7z.exe, 7z.dll, version.ver or its root element), then each archive file
added, replaced, unchanged, skipped by ifexists or excluded, each delta patched
when the installed file is the one it was made from (else the patcher's refusal,
or the file replaced whole when it also travels whole), each file deleted
afterwards (marking a folder, which the patcher does not delete, and a line that a
placeholder other than %ORV% changes), each command run afterwards, and the version
record before and after. It writes nothing there.
  --windows-path PATH     the folder as Windows names it, for %ORV% (default: %ORV%
                          stays as written; %TMPFLD% always does)
  --json                  the same as one JSON object
  --quiet                 no progress on standard error, only errors)";
constexpr const char kExitCodes[] =
    R"(diff, build --old --new and plan tell their progress on standard error when a step
runs longer than about 2 s: a line every 5 s ("diff: 1,200 of 5,000 files compared"),
or a bar redrawn in place on a terminal; plan says first how many bytes it unpacks
into the temporary folder when that is 256 MiB or more. Standard output is the same
either way. OVPATCH_PROGRESS_SECONDS sets both waits (0 tells every step).

Exit codes: 0 done; 1 not a valid patch, or plan: the patcher would refuse it; 2 bad
command line or setting; 3 an input cannot be read; 4 a refused build or diff (nothing
written); 5 the output cannot be written; 6 7zz (Debian's 7zip package) is not
installed; 7 diff or build --old --new: nothing to ship.
)";

// The verb's usage lines, its part of the help and the exit codes; empty for an unknown verb.
std::string VerbUsage(const std::string& verb) {
    const struct {
        const char* verb;
        const char* help;
    } kVerbs[] = {{"build", kBuildHelp}, {"inspect", kInspectHelp}, {"diff", kDiffHelp}, {"plan", kPlanHelp}};
    for (const auto& v : kVerbs) {
        if (verb != v.verb)
            continue;
        std::string lines;
        std::istringstream all(kUsageLines);
        for (std::string line; std::getline(all, line);)
            if (line.rfind("  ovpatch " + verb + " ", 0) == 0)
                lines += line + "\n";
        return "Usage:\n" + lines + "\n" + v.help + "\n" + kExitCodes;
    }
    return {};
}

}  // namespace

std::string UsageText() {
    return std::string("Usage:\n") + kUsageLines + "\n" + kBuildHelp + "\n\n" + kInspectHelp + "\n\n" + kDiffHelp +
           "\n\n" + kPlanHelp + "\n\n" + kExitCodes;
}

namespace {

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            err << UsageText();
            return kUsage;
        }
        const std::string& command = args[0];
        if (command == "--help" || command == "-h" || command == "help") {
            out << UsageText();
            return kOk;
        }
        if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
            const std::string usage = VerbUsage(command);
            out << (usage.empty() ? UsageText() : usage);
            return kOk;
        }
        if (command == "--version" || command == "version") {
            out << "ovpatch " OV_VERSION_TEXT "\n";
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

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const int code = RunCommand(args, out, err);
    // Stopped by a signal: everything temporary is gone by now, and the program ends as the signal asks.
    if (const int signal = StopSignal()) {
        std::signal(signal, SIG_DFL);
        raise(signal);
    }
    return code;
}

}  // namespace ovpatch
