// The patcher's boxes, shown to a user or answered for one who is not there.
#include <windows.h>

#include "patcher/frm_main_state_win.h"
#include "patcher/run_log_win.h"
#include "patcher/strings.h"
#include "support/dialogs_win.h"
#include "support/pump_win.h"
#include "support/trace.h"

namespace frmMain {
namespace {

// How long a suite program that will not close is asked again under /silent, and how often.
constexpr unsigned long kSilentRetryForMs = 60000;
constexpr unsigned kSilentRetryPauseMs = 2000;

// The box asked last under /silent and since when: the same box asked again in a row counts from its first time.
std::wstring g_lastKey;
ULONGLONG g_firstAsked = 0;

// The log names each box by its English text, whichever language the window would have shown.
std::wstring EnglishText(const std::wstring& key, const std::wstring& shown) {
    try {
        const FrmMainState& s = State();
        const mPatchStrings::LanguageChoice english = mPatchStrings::ChooseLanguage(s.Descriptor.XmlData, L"en");
        const std::wstring text = mPatchStrings::GetString(s.Descriptor, english.StringsPos, key);
        return text.empty() ? shown : text;
    } catch (...) {
        NoteCaught(L"The English text of a box");
        return shown;
    }
}

const wchar_t* AnswerName(int answer) {
    switch (answer) {
        case IDOK:
            return L"OK";
        case IDCANCEL:
            return L"Cancel";
        case IDRETRY:
            return L"Retry";
        case IDYES:
            return L"Yes";
        case IDNO:
            return L"No";
    }
    return L"none";
}

}  // namespace

int Ask(const std::wstring& key, UINT style, const std::wstring& text, HWND owner) {
    FrmMainState& s = State();
    const std::wstring shown = text.empty() ? Str(key) : text;
    int answer = 0;
    if (s.Options.silent) {
        const ULONGLONG now = GetTickCount64();
        if (key != g_lastKey) {
            g_lastKey = key;
            g_firstAsked = now;
        }
        answer = mUnattended::SilentAnswer(key, style, static_cast<unsigned long>(now - g_firstAsked), kSilentRetryForMs);
        if (answer == IDRETRY)
            SleepAndPump(kSilentRetryPauseMs);
    } else {
        answer = mUnicodePatch::MsgBox(shown, style, L"", owner);
    }
    // One line per box: its line breaks become blanks.
    std::wstring english;
    for (wchar_t c : EnglishText(key, shown)) {
        if (c != L'\r')
            english += c == L'\n' ? L' ' : c;
    }
    mRunLog::Line(L"Box " + key + L": " + english + L" -> " + AnswerName(answer));
    if (const auto outcome = mUnattended::OutcomeOfBox(key, answer, s.Applying))
        s.Exit = *outcome;
    return answer;
}

}  // namespace frmMain
