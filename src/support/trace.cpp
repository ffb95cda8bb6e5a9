#include "support/trace.h"

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

std::wstring ErrorTraceLine(int32_t number, const std::wstring& description, const std::wstring& label) {
    return L"Erreur " + mStringTools::DecimalText(number) + L" (" + description + L") dans " + label;
}

TraceCapture::TraceCapture() {
    g_capture = this;
}

TraceCapture::~TraceCapture() {
    if (g_capture == this)
        g_capture = nullptr;
}
