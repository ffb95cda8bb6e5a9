// ovpatch: patches built and checked from a command line, for maintainers who build them in CI. It is a
// native program over the same core as the maker: the same descriptor, output name, refusals and reader.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ovpatch {

// Exit codes, one per kind of failure, so that a script can tell them apart.
enum ExitCode : int {
    kOk = 0,
    kNotAPatch = 1,      // inspect: not a patch the patcher would accept; plan: the patcher would refuse it
    kUsage = 2,          // unknown command or option, missing or malformed value
    kUnreadable = 3,     // an input file is missing or cannot be read
    kRefused = 4,        // a build the maker would refuse, or a diff that would give a wrong patch
    kWriteFailed = 5,    // the output could not be written; nothing is left behind
    kToolMissing = 6,    // a program ovpatch drives (7zz) is not installed
    kNothingToShip = 7,  // diff: NEW holds nothing that a patch would carry
};

std::string UsageText();

// One command; `args` leaves out the program's name. Reports go to `out`, errors to `err`.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace ovpatch
