// Trace sinks. Routines that trap their own failures describe them in one trace line; the product
// discards these lines, and tests capture them to check the exact text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Sends a failure line; discarded unless a TraceCapture is alive.
void TraceError(const std::wstring& line);
// Sends a developer note; discarded unless a TraceCapture is alive.
void DebugNote(const std::wstring& line);

// Only inside a catch block: a developer note "<where> failed: <what>" on the exception being handled, its
// what() for a std::exception. Code that goes on after a failure leaves this trace of it. Never throws.
void NoteCaught(const wchar_t* where) noexcept;

// "Erreur <number> (<description>) dans <label>"
std::wstring ErrorTraceLine(int32_t number, const std::wstring& description, const std::wstring& label);
// The failures that have no system code of their own, sent as "Erreur 7 (Out of memory) dans <label>" and
// "Erreur 51 (Internal error) dans <label>".
void TraceOutOfMemory(const std::wstring& label);
void TraceInternalError(const std::wstring& label);

// Collects every line sent while it lives (one at a time).
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    const std::vector<std::wstring>& errors() const { return errors_; }
    const std::vector<std::wstring>& notes() const { return notes_; }
    void clear() {
        errors_.clear();
        notes_.clear();
    }

private:
    friend void TraceError(const std::wstring&);
    friend void DebugNote(const std::wstring&);
    std::vector<std::wstring> errors_;
    std::vector<std::wstring> notes_;
};
