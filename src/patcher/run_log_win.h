// The account a run leaves for whoever updates many installations: one UTF-8 line per step, per program
// closed and restarted, per box with its answer, and the outcome. Appended, so that one file can follow
// a whole round of installations; each line is written at once, so that a run cut short leaves its trail.
#pragma once

#include <string>

namespace mRunLog {

// Starts writing to the full path `path` (created when missing), held open until the program ends; false
// with the reason when it cannot be written, or is no plain file on a disk (a device, a pipe) or a link.
bool Open(const std::wstring& path, std::wstring& reason);
// One line, after the local date and time. Nothing when no log was asked for.
void Line(const std::wstring& text);

}  // namespace mRunLog
