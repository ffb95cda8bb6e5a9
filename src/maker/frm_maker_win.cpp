#include "maker/frm_maker_win.h"

#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <type_traits>
#include <vector>

#include "appclose/installations_win.h"
#include "container/patch_file_win.h"
#include "maker/descriptor_builder.h"
#include "maker/frm_maker_ids.h"
#include "maker/patch_writer_win.h"
#include "support/app_info_win.h"
#include "support/dialogs_win.h"
#include "support/encoding.h"
#include "support/file_io_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/lang_id_win.h"
#include "support/system_dll_win.h"
#include "support/trace.h"
#include "support/xp_style_win.h"

namespace frmMaker {
namespace {

// Posted by txtPatchVersion on a double-click, so that the question comes after the click is done.
constexpr UINT WM_PATCHVERSION_DBLCLK = WM_APP + 1;

struct MakerState {
    HWND hwnd = nullptr;
    cXmlNode PatchLangNode;  // the whole language file; its messages go into every patch
    bool oleReady = false;
    UniqueCom<IDropTarget> formTarget;
    UniqueCom<IDropTarget> dataFileTarget;
    // A field was changed since load or since the last patch built: closing would lose it.
    bool changed = false;
};

MakerState& State() {
    static MakerState state;
    return state;
}

HWND Item(int id) {
    return GetDlgItem(State().hwnd, id);
}

std::wstring GetText(int id) {
    HWND control = Item(id);
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), length + 1)));
    return text;
}

void SetText(int id, const std::wstring& text) {
    SetWindowTextW(Item(id), text.c_str());
}

bool IsChecked(int id) {
    return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetChecked(int id, bool on) {
    SendMessageW(Item(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

// Every box of the maker, under the program's title: one place that builds the empty title argument.
int Box(const std::wstring& text, UINT style) {
    return mUnicodePatch::MsgBox(text, style);
}

std::vector<std::wstring> LanguageEntries() {
    HWND list = Item(IDC_CMBLANGID);
    std::vector<std::wstring> entries;
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, i, 0);
        std::wstring text(static_cast<size_t>(length < 0 ? 0 : length) + 1, L'\0');
        const LRESULT got = SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        text.resize(got < 0 ? 0 : static_cast<size_t>(got));
        entries.push_back(text);
    }
    return entries;
}

// A drop-down list's text is its selected entry.
std::wstring SelectedLanguage() {
    return GetText(IDC_CMBLANGID);
}

std::wstring NewPatchId() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return FormatPatchId(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

void UpdateMakeButton() {
    EnableWindow(Item(IDC_CMDMAKE),
                 !GetText(IDC_TXTORVVERSION).empty() && mGlobal::FileExists(GetText(IDC_TXTDATAFILE)));
}

// Drops from the shell. The form imports the first patch of the list, txtDataFile takes the first archive.
// Drag and drop is the only use of OLE, and only the maker has it: bound when its window opens, so a
// patch never loads OLE at start.
struct OleFunctions {
    decltype(&OleInitialize) initialize;
    decltype(&OleUninitialize) uninitialize;
    decltype(&RegisterDragDrop) registerDragDrop;
    decltype(&RevokeDragDrop) revokeDragDrop;
    decltype(&ReleaseStgMedium) releaseStgMedium;

    bool Bind() {
        const auto bind = [](auto& function, const char* name) {
            function = mGlobal::SystemFunction<std::remove_reference_t<decltype(function)>>(L"ole32.dll", name);
            return function != nullptr;
        };
        return bind(initialize, "OleInitialize") && bind(uninitialize, "OleUninitialize") &&
               bind(registerDragDrop, "RegisterDragDrop") && bind(revokeDragDrop, "RevokeDragDrop") &&
               bind(releaseStgMedium, "ReleaseStgMedium");
    }
};
OleFunctions g_ole;

class DropTarget final : public IDropTarget {
  public:
    explicit DropTarget(bool dataFile) : dataFile_(dataFile) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDropTarget)) {
            *object = static_cast<IDropTarget*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD, POINTL point, DWORD* effect) override {
        hasFiles_ = HasFileList(data);
        return Effect(point, effect);
    }
    HRESULT STDMETHODCALLTYPE DragOver(DWORD, POINTL point, DWORD* effect) override { return Effect(point, effect); }
    HRESULT STDMETHODCALLTYPE DragLeave() override {
        hasFiles_ = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD, POINTL point, DWORD* effect) override {
        hasFiles_ = HasFileList(data);
        Effect(point, effect);
        if (!hasFiles_ || !Accepts(point)) {
            hasFiles_ = false;
            return S_OK;
        }
        try {
            const auto paths = DroppedPaths(data);
            if (dataFile_) {
                if (auto archive = FirstPathWithExtension(paths, L".7z"))
                    SetText(IDC_TXTDATAFILE, *archive);  // EN_CHANGE re-evaluates the make button
            } else if (auto patch = FirstPathWithExtension(paths, L".exe")) {
                ImportFromPatch(*patch);
            }
        } catch (...) {
            NoteCaught(L"frmMaker: a drop");
        }
        hasFiles_ = false;
        return S_OK;
    }

  private:
    static FORMATETC FileListFormat() { return FORMATETC{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}; }

    static bool HasFileList(IDataObject* data) {
        FORMATETC format = FileListFormat();
        return data && data->QueryGetData(&format) == S_OK;
    }

    static std::vector<std::wstring> DroppedPaths(IDataObject* data) {
        std::vector<std::wstring> paths;
        FORMATETC format = FileListFormat();
        STGMEDIUM medium{};
        if (data->GetData(&format, &medium) != S_OK)
            return paths;
        if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal) {
            auto drop = static_cast<HDROP>(medium.hGlobal);
            const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
            for (UINT i = 0; i < count; ++i) {
                const UINT length = DragQueryFileW(drop, i, nullptr, 0);
                std::wstring path(length + 1, L'\0');
                path.resize(DragQueryFileW(drop, i, path.data(), length + 1));
                paths.push_back(path);
            }
        }
        g_ole.releaseStgMedium(&medium);
        return paths;
    }

    // The system hands the window the drops on every control that registered no target of its own. An
    // import overwrites every field, so the form takes only drops on its own surface and its labels; a
    // patch let go over, say, the update text is not taken.
    bool Accepts(POINTL screen) const {
        if (dataFile_)
            return true;
        HWND form = State().hwnd;
        POINT point{screen.x, screen.y};
        if (!form || !ScreenToClient(form, &point))
            return false;
        HWND under = ChildWindowFromPointEx(form, point, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
        if (under == form)
            return true;
        wchar_t kind[16] = {};
        return under && GetClassNameW(under, kind, 16) && lstrcmpiW(kind, L"Static") == 0;
    }

    // Copy for a file list where it is taken, when the source allows it; nothing otherwise.
    HRESULT Effect(POINTL point, DWORD* effect) const {
        if (effect)
            *effect = hasFiles_ && Accepts(point) ? (*effect & DROPEFFECT_COPY) : DROPEFFECT_NONE;
        return S_OK;
    }

    bool dataFile_;
    bool hasFiles_ = false;
    ULONG refs_ = 1;
};

void RegisterDrops(HWND hwnd) {
    MakerState& s = State();
    OleFunctions& ole = g_ole;
    s.oleReady = ole.Bind() && SUCCEEDED(ole.initialize(nullptr));
    if (!s.oleReady)
        return;
    s.formTarget.reset(new DropTarget(false));
    s.dataFileTarget.reset(new DropTarget(true));
    ole.registerDragDrop(hwnd, s.formTarget.get());
    ole.registerDragDrop(GetDlgItem(hwnd, IDC_TXTDATAFILE), s.dataFileTarget.get());
}

void RevokeDrops(HWND hwnd) {
    MakerState& s = State();
    if (!s.oleReady)
        return;
    const OleFunctions& ole = g_ole;
    ole.revokeDragDrop(GetDlgItem(hwnd, IDC_TXTDATAFILE));
    ole.revokeDragDrop(hwnd);
    s.formTarget.reset();
    s.dataFileTarget.reset();
    ole.uninitialize();
    s.oleReady = false;
}

MakerSettings ReadSettings() {
    // Built in place: one string copy per field and no temporaries.
    return MakerSettings{GetText(IDC_TXTEXTRACTPATH),
                         GetText(IDC_TXTORVVERSION),
                         GetText(IDC_TXTMINPATCHNEEDED),
                         GetText(IDC_TXTPATCHVERSION),
                         SelectedLanguage(),
                         IsChecked(IDC_CHKLANGCHECK),
                         GetText(IDC_TXTUPDATEINFO),
                         IsChecked(IDC_CHKFORCEMENURESTART),
                         GetText(IDC_TXTRUNATEND),
                         GetText(IDC_TXTDELATEND),
                         GetText(IDC_TXTFILEFLAGS)};
}

LRESULT CALLBACK PatchVersionProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (msg == WM_LBUTTONDBLCLK)
        PostMessageW(GetParent(hwnd), WM_PATCHVERSION_DBLCLK, 0, 0);
    else if (msg == WM_NCDESTROY)
        RemoveWindowSubclass(hwnd, PatchVersionProc, 1);
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

// Returns false when the window must close: no language to offer.
bool Form_Load(HWND hwnd) {
    MakerState& s = State();
    s.hwnd = hwnd;
    std::wstring title = L"Orvana Patch Maker v";
    title += AppVersion();
    title += L" - ";
    title += mLang::WindowsUserLangID(0);
    SetWindowTextW(hwnd, title.c_str());

    SetText(IDC_TXTORVVERSION, L"2.5");
    const std::vector<std::wstring> roots = mAppClose::FindInstallations();
    if (!roots.empty()) {
        const std::wstring versionFile = roots.front() + L"\\version.txt";
        if (mGlobal::FileExists(versionFile)) {
            if (auto version = SuiteVersionFromVersionTxt(mStringTools::LoadTextFile(versionFile)))
                SetText(IDC_TXTORVVERSION, *version);
        }
    }

    SetText(IDC_TXTPATCHVERSION, NewPatchId());
    SetChecked(IDC_CHKLANGCHECK, true);

    s.PatchLangNode.XmlData = mStringTools::LoadTextFile(mGlobal::AppPath() + L"\\PatchLang.xml");
    HWND list = GetDlgItem(hwnd, IDC_CMBLANGID);
    for (const auto& name : ListLanguages(s.PatchLangNode.XmlData))
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    if (SendMessageW(list, CB_GETCOUNT, 0, 0) < 1) {
        Box(L"Aucun langage trouvé", MB_OK | MB_ICONERROR);
        return false;
    }
    SendMessageW(list, CB_SETCURSEL, 0, 0);

    // Without a limit of their own, edit fields stop typing and pasting at 32,767 characters, while an
    // imported text may be longer; the maker never shortens what it is given.
    for (int id : {IDC_TXTDATAFILE, IDC_TXTEXTRACTPATH, IDC_TXTUPDATEINFO, IDC_TXTORVVERSION, IDC_TXTMINPATCHNEEDED,
                   IDC_TXTPATCHVERSION, IDC_TXTRUNATEND, IDC_TXTDELATEND, IDC_TXTFILEFLAGS})
        SendDlgItemMessageW(hwnd, id, EM_SETLIMITTEXT, 0, 0);

    SetWindowSubclass(GetDlgItem(hwnd, IDC_TXTPATCHVERSION), PatchVersionProc, 1, 0);
    RegisterDrops(hwnd);
    s.changed = false;  // the defaults above are no change of the user's
    return true;
}

void Form_Unload(HWND hwnd) {
    RevokeDrops(hwnd);
    mXPStyle::ReleaseShell32();
    DestroyWindow(hwnd);
    State().hwnd = nullptr;
    PostQuitMessage(0);
}

void cmdBrowseData_Click(HWND hwnd) {
    mUnicodePatch::FileDialogArgs args;
    args.title = L"Sélectionnez le fichier de données du patch";
    args.filter = L"Fichiers 7zip (*.7z)|*.7z";
    args.filterIndex = 1;
    args.mustExist = true;
    args.hideReadOnly = true;
    args.owner = hwnd;
    if (mUnicodePatch::ShowFileDialog(args))
        SetText(IDC_TXTDATAFILE, args.fileName);
}

bool ConfirmReplace(const std::wstring& path) {
    std::wstring question = L"Le fichier « ";
    question += path;
    question += L" » existe déjà.\nLe remplacer ?";
    return Box(question, MB_YESNO | MB_ICONEXCLAMATION) == IDYES;
}

void cmdMake_Click() {
    const PatchJob job{mGlobal::AppPath(), mGlobal::OwnPatchPath(),       GetText(IDC_TXTDATAFILE),
                       ReadSettings(),     State().PatchLangNode.XmlData, ConfirmReplace};
    const PatchResult result = WritePatch(job);
    if (result.declined)
        return;
    std::wstring status;
    if (result.ok) {
        status = L"Patch créé (";
        status += mStringTools::DecimalText(result.size);
        status += L" octets) : ";
        status += result.outputPath;
        State().changed = false;
    }
    SetText(IDC_LBLBUILT, status);
    if (!result.ok)
        Box(result.message, MB_OK | MB_ICONERROR);
}

// Every way of closing comes here (Esc presses Cancel): a slip of the finger must not throw away fields
// filled by hand.
void cmdCancel_Click(HWND hwnd) {
    if (State().changed && Box(L"Fermer sans créer le patch ?", MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    Form_Unload(hwnd);
}

void txtPatchVersion_DblClick() {
    if (Box(L"Nouvel ID de patch ?", MB_YESNO | MB_ICONQUESTION) == IDYES)
        SetText(IDC_TXTPATCHVERSION, NewPatchId());
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    try {
        switch (msg) {
            case WM_INITDIALOG:
                if (!Form_Load(hwnd))
                    Form_Unload(hwnd);
                return TRUE;
            case WM_COMMAND:
                // Typed, pasted, dropped, imported, ticked or chosen: the user's work from then on.
                if (HIWORD(wParam) == EN_CHANGE ||
                    (HIWORD(wParam) == BN_CLICKED &&
                     (LOWORD(wParam) == IDC_CHKLANGCHECK || LOWORD(wParam) == IDC_CHKFORCEMENURESTART)) ||
                    (HIWORD(wParam) == CBN_SELCHANGE && LOWORD(wParam) == IDC_CMBLANGID))
                    State().changed = true;
                switch (LOWORD(wParam)) {
                    case IDC_TXTDATAFILE:
                        if (HIWORD(wParam) == EN_CHANGE)
                            UpdateMakeButton();
                        return TRUE;
                    case IDC_CMDBROWSEDATA:
                        if (HIWORD(wParam) == BN_CLICKED)
                            cmdBrowseData_Click(hwnd);
                        return TRUE;
                    case IDC_CMDMAKE:
                        if (HIWORD(wParam) == BN_CLICKED)
                            cmdMake_Click();
                        return TRUE;
                    case IDCANCEL:
                        cmdCancel_Click(hwnd);
                        return TRUE;
                }
                return FALSE;
            case WM_PATCHVERSION_DBLCLK:
                txtPatchVersion_DblClick();
                return TRUE;
            case WM_CLOSE:  // the close box, Alt+F4, and Esc in a multi-line field
                cmdCancel_Click(hwnd);
                return TRUE;
        }
    } catch (...) {
        NoteCaught(L"frmMaker: a window message");
    }
    return FALSE;
}

}  // namespace

void ImportFromPatch(const std::wstring& path) {
    if (!State().hwnd || path.empty())
        return;
    std::wstring source = path;
    const auto descriptor = mGlobal::ExtractPatchXML(0, source);
    if (!descriptor)
        return;
    // Everything but the language is replaced, and the extraction folder is not imported.
    MakerSettings s;
    s.LangName = SelectedLanguage();
    const std::vector<std::wstring> languages = LanguageEntries();
    ApplyImported(s, ImportFromDescriptor(*descriptor), languages);
    SetText(IDC_TXTORVVERSION, s.ORVVersion);
    SetText(IDC_TXTMINPATCHNEEDED, s.MinPatchNeeded);
    SetText(IDC_TXTPATCHVERSION, s.PatchVersion);
    SetChecked(IDC_CHKFORCEMENURESTART, s.ForceMenuRestart);
    SendMessageW(Item(IDC_CMBLANGID), CB_SETCURSEL, static_cast<WPARAM>(FindLanguageEntry(languages, s.LangName)), 0);
    SetText(IDC_TXTUPDATEINFO, s.UpdateInfo);
    SetChecked(IDC_CHKLANGCHECK, s.LangCheck);
    SetText(IDC_TXTRUNATEND, s.RunAtEnd);
    SetText(IDC_TXTDELATEND, s.DelAtEnd);
    SetText(IDC_TXTFILEFLAGS, s.FileFlags);
}

IDropTarget* FormDropTarget() {
    return State().formTarget.get();
}

IDropTarget* DataFileDropTarget() {
    return State().dataFileTarget.get();
}

HWND Show() {
    HWND hwnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FRMMAKER), nullptr, DialogProc, 0);
    if (!hwnd || !IsWindow(hwnd))
        return nullptr;
    ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

}  // namespace frmMaker
