// The reference of the start-up benchmark: the least a dialog program does (one dialog from an in-memory
// template, a line of text and a button), built with the program's own compilers and link flags.
#include <windows.h>

#include <cstring>
#include <initializer_list>

namespace {

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_INITDIALOG)
        return TRUE;
    if (msg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// DLGTEMPLATE, then its menu, class, title and two DLGITEMTEMPLATEs, each on a DWORD boundary.
struct Template {
    alignas(4) WORD words[128] = {};
    size_t at = 0;

    void Word(WORD w) { words[at++] = w; }
    void Text(const wchar_t* s) {
        do
            Word(static_cast<WORD>(*s));
        while (*s++);
    }
    void Align() {
        if (at % 2)
            Word(0);
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom, const wchar_t* text) {
        Align();
        const DWORD header[2] = {style | WS_CHILD | WS_VISIBLE, 0};
        std::memcpy(&words[at], header, sizeof(header));
        at += 4;
        for (short v : {x, y, cx, cy})
            Word(static_cast<WORD>(v));
        Word(id);
        Word(0xFFFF);
        Word(classAtom);
        Text(text);
        Word(0);  // no creation data
    }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    Template t;
    const DWORD header[2] = {DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, 0};
    std::memcpy(t.words, header, sizeof(header));
    t.at = 4;
    for (WORD v : {WORD{2}, WORD{0}, WORD{0}, WORD{200}, WORD{60}})
        t.Word(v);  // items, x, y, cx, cy
    t.Word(0);      // no menu
    t.Word(0);      // the dialog class
    t.Text(L"Reference");
    t.Word(8);
    t.Text(L"Tahoma");
    t.Item(SS_LEFT, 7, 7, 186, 9, 100, 0x0082, L"A minimal dialog.");
    t.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 140, 40, 53, 14, IDOK, 0x0080, L"OK");
    return static_cast<int>(
        DialogBoxIndirectParamW(instance, reinterpret_cast<DLGTEMPLATE*>(t.words), nullptr, DialogProc, 0));
}
