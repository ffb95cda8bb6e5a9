#include "support/trace.h"

#include <exception>

#include "support/encoding.h"

namespace {
TraceCapture* g_capture = nullptr;
}

void TraceError(const std::wstring& line) {
    if (g_capture)
        g_capture->errors_.push_back(line);
}

void DebugNote(const std::wstring& line) {
    if (g_capture)
        g_capture->notes_.push_back(line);
}

void NoteCaught(const wchar_t* where) noexcept {
    try {
        std::wstring line = where;
        line += L" failed: ";
        try {
            throw;
        } catch (const std::exception& e) {
            for (const char* p = e.what(); *p; ++p)
                line += static_cast<wchar_t>(static_cast<unsigned char>(*p));
        } catch (...) {
            line += L"an exception of no known type";
        }
        DebugNote(line);
    } catch (...) {
        // No room left even for the note.
    }
}

std::wstring ErrorTraceLine(int32_t number, const std::wstring& description, const std::wstring& label) {
    return L"Erreur " + mStringTools::DecimalText(number) + L" (" + description + L") dans " + label;
}

void TraceOutOfMemory(const std::wstring& label) {
    TraceError(ErrorTraceLine(7, L"Out of memory", label));
}

void TraceInternalError(const std::wstring& label) {
    TraceError(ErrorTraceLine(51, L"Internal error", label));
}

TraceCapture::TraceCapture() {
    g_capture = this;
}

TraceCapture::~TraceCapture() {
    if (g_capture == this)
        g_capture = nullptr;
}
