#include "support/dialogs_win.h"

#include <commdlg.h>
#include <shlobj.h>

#include <vector>

#include "support/app_info_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/system_dll_win.h"
#include "support/trace.h"

namespace mUnicodePatch {

int MsgBox(const std::wstring& prompt, UINT buttons, const std::wstring& title, HWND owner) {
    try {
        if (!owner)
            owner = GetActiveWindow();
        const std::wstring caption = title.empty() ? AppTitle() + L" v" + AppVersion() : title;
        MSGBOXPARAMSW params{};
        params.cbSize = sizeof(params);
        params.hwndOwner = owner;
        params.lpszText = prompt.c_str();
        params.lpszCaption = caption.c_str();
        params.dwStyle = buttons | MB_TASKMODAL;
        const int result = MessageBoxIndirectW(&params);
        if (result <= 0) {
            const DWORD code = GetLastError();
            TraceError(ErrorTraceLine(static_cast<int32_t>(code), mGlobal::SystemErrorText(code),
                                      L"Function mUnicodePatch.MsgBox"));
            return 0;
        }
        return result;
    } catch (...) {
        TraceOutOfMemory(L"Function mUnicodePatch.MsgBox");
        return 0;
    }
}

namespace {

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
    if (msg == BFFM_INITIALIZED && data)
        SendMessageW(hwnd, BFFM_SETSELECTIONW, FALSE, data);
    return 0;
}

struct ItemIdListTraits {
    static PIDLIST_ABSOLUTE Empty() { return nullptr; }
    // The shell's own release, so that the picker needs no OLE import.
    static void Close(PIDLIST_ABSOLUTE pidl) { ILFree(pidl); }
};
using UniqueItemIdList = UniqueAny<PIDLIST_ABSOLUTE, ItemIdListTraits>;

}  // namespace

std::wstring BrowseForFolder(HWND owner, const std::wstring& title, const std::wstring& start) {
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    UniqueItemIdList startItem;
    if (!start.empty()) {
        startItem.reset(ILCreateFromPathW(mGlobal::WithoutSlash(start).c_str()));
        info.lpfn = BrowseCallback;
        info.lParam = reinterpret_cast<LPARAM>(startItem.get());
    }
    const UniqueItemIdList chosen(SHBrowseForFolderW(&info));
    if (!chosen)
        return std::wstring();
    std::vector<wchar_t> buf(512, L'\0');
    if (!SHGetPathFromIDListEx(chosen.get(), buf.data(), static_cast<DWORD>(buf.size()), GPFIDL_DEFAULT))
        return std::wstring();
    return std::wstring(buf.data());
}

bool ShowFileDialog(FileDialogArgs& a) {
    DWORD flags = a.extraFlags & ~static_cast<DWORD>(OFN_ENABLEHOOK | OFN_ENABLETEMPLATE);
    if (a.mustExist)
        flags |= OFN_FILEMUSTEXIST;
    if (a.multiSelect)
        flags |= OFN_ALLOWMULTISELECT;
    if (a.hideReadOnly)
        flags |= OFN_HIDEREADONLY;
    if (a.readOnly)
        flags |= OFN_READONLY;

    std::wstring filter = a.filter;
    for (wchar_t& c : filter) {
        if (c == L':' || c == L'|')
            c = L'\0';
    }
    filter.push_back(L'\0');
    filter.push_back(L'\0');

    const size_t size = a.multiSelect ? 8192 : 260;
    std::vector<wchar_t> file(size, L'\0');
    std::vector<wchar_t> fileTitle(size, L'\0');
    a.fileName.copy(file.data(), std::min(a.fileName.size(), size - 1));
    a.fileTitle.copy(fileTitle.data(), std::min(a.fileTitle.size(), size - 1));

    OPENFILENAMEW ofn{};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    ofn.hwndOwner = a.owner == reinterpret_cast<HWND>(-1) ? nullptr : a.owner;
    ofn.hInstance = GetModuleHandleW(nullptr);
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = static_cast<DWORD>(a.filterIndex);
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(size);
    ofn.lpstrFileTitle = fileTitle.data();
    ofn.nMaxFileTitle = static_cast<DWORD>(size);
    ofn.lpstrInitialDir = a.initialFolder.empty() ? nullptr : a.initialFolder.c_str();
    ofn.lpstrTitle = a.title.empty() ? nullptr : a.title.c_str();
    ofn.Flags = flags;
    ofn.lpstrDefExt = a.defaultExtension.empty() ? nullptr : a.defaultExtension.c_str();

    using FileDialog = BOOL(WINAPI*)(LPOPENFILENAMEW);
    const auto show =
        mGlobal::SystemFunction<FileDialog>(L"comdlg32.dll", a.save ? "GetSaveFileNameW" : "GetOpenFileNameW");
    const BOOL ok = show && show(&ofn);
    if (!ok) {
        a.fileName.clear();
        a.fileTitle.clear();
        a.filter.clear();
        a.extraFlags = 0;
        a.filterIndex = -1;
        return false;
    }
    if (a.multiSelect) {
        a.fileTitle.clear();
        size_t end = 0;
        while (end + 1 < size && !(file[end] == 0 && file[end + 1] == 0))
            ++end;
        a.fileName.assign(file.data(), end);
    } else {
        a.fileName = file.data();
        a.fileTitle = fileTitle.data();
    }
    a.extraFlags = ofn.Flags;
    a.filterIndex = static_cast<long>(ofn.nFilterIndex);
    // The chosen description-and-pattern pair.
    const wchar_t* p = filter.c_str();
    for (DWORD i = 1; i < ofn.nFilterIndex && *p; ++i) {
        p += wcslen(p) + 1;
        if (*p)
            p += wcslen(p) + 1;
    }
    std::wstring pair = p;
    if (*p) {
        pair.push_back(L'\0');
        pair += p + wcslen(p) + 1;
    }
    a.filter = pair;
    a.readOnly = (ofn.Flags & OFN_READONLY) != 0;
    return true;
}

void SetWindowIcon(HWND window, const wchar_t* iconName, bool alsoOwner) {
    HWND top = window;
    if (alsoOwner) {
        for (HWND owner = GetWindow(top, GW_OWNER); owner; owner = GetWindow(top, GW_OWNER))
            top = owner;
    }
    HINSTANCE self = GetModuleHandleW(nullptr);
    const struct {
        int cx, cy;
        WPARAM which;
    } sizes[] = {{SM_CXICON, SM_CYICON, ICON_BIG}, {SM_CXSMICON, SM_CYSMICON, ICON_SMALL}};
    for (const auto& s : sizes) {
        HANDLE icon = LoadImageW(self, iconName, IMAGE_ICON, GetSystemMetrics(s.cx), GetSystemMetrics(s.cy), LR_SHARED);
        if (!icon)
            continue;
        if (alsoOwner && top != window)
            SendMessageW(top, WM_SETICON, s.which, reinterpret_cast<LPARAM>(icon));
        SendMessageW(window, WM_SETICON, s.which, reinterpret_cast<LPARAM>(icon));
    }
}

void SetTopMost(HWND form, bool on) {
    if (on)
        SetWindowPos(form, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    else
        SetWindowPos(form, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
}

bool RegKeyExists(HKEY root, const std::wstring& path) {
    UniqueHKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

bool IsWinNT() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExW(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
#pragma GCC diagnostic pop
}

}  // namespace mUnicodePatch
