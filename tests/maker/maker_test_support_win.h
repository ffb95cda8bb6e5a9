// Helpers shared by the maker's Windows tests, beside the throw-away folder of the support tests: test
// bytes, and a data object that carries a file list the way the desktop shell hands one to a drop target.
#pragma once

#include <windows.h>

#include <ole2.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/file_system_win.h"
#include "support/test_folder_win.h"

namespace makertest {

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Bytes that no text encoding would leave alone: every value, then a counter pattern.
inline std::string BinaryBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(i < 256 ? i : (x >> 16));
    }
    return bytes;
}

// A data object holding CF_HDROP with `paths`, or, with `asText`, only CF_UNICODETEXT.
class FileListData final : public IDataObject {
  public:
    FileListData(std::vector<std::wstring> paths, bool asText) : paths_(std::move(paths)), asText_(asText) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)) {
            *object = static_cast<IDataObject*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the test's stack

    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (QueryGetData(format) != S_OK)
            return DV_E_FORMATETC;
        std::wstring list;
        for (const auto& p : paths_)
            list += p + L'\0';
        list += L'\0';
        const size_t bytes =
            asText_ ? list.size() * sizeof(wchar_t) : sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
        HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
        char* base = static_cast<char*>(GlobalLock(global));
        if (asText_) {
            memcpy(base, list.data(), list.size() * sizeof(wchar_t));
        } else {
            auto* header = reinterpret_cast<DROPFILES*>(base);
            header->pFiles = sizeof(DROPFILES);
            header->fWide = TRUE;
            memcpy(base + sizeof(DROPFILES), list.data(), list.size() * sizeof(wchar_t));
        }
        GlobalUnlock(global);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = global;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
        const CLIPFORMAT wanted = asText_ ? CF_UNICODETEXT : CF_HDROP;
        return format && format->cfFormat == wanted && (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_FORMATETC;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        out->ptd = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

  private:
    std::vector<std::wstring> paths_;
    bool asText_;
    ULONG refs_ = 1;
};

}  // namespace makertest
