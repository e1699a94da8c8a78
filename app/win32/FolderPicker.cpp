// SPDX-License-Identifier: MIT
#include "win32/FolderPicker.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <memory>

namespace packwarden {
namespace {

struct ComReleaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComReleaser>;

struct TaskMemFree {
    void operator()(void* memory) const { ::CoTaskMemFree(memory); }
};

std::optional<std::wstring> PickWithItemDialog(HWND owner, const std::wstring& title,
                                               const std::wstring& start, bool& available) {
    IFileOpenDialog* raw = nullptr;
    available = SUCCEEDED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IFileOpenDialog, reinterpret_cast<void**>(&raw)));
    if (!available) {
        return std::nullopt;
    }
    ComPtr<IFileOpenDialog> dialog(raw);
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    dialog->SetTitle(title.c_str());
    IShellItem* folder = nullptr;
    if (!start.empty() &&
        SUCCEEDED(::SHCreateItemFromParsingName(start.c_str(), nullptr, IID_IShellItem,
                                                reinterpret_cast<void**>(&folder)))) {
        const ComPtr<IShellItem> item(folder);
        dialog->SetFolder(item.get());
    }
    if (FAILED(dialog->Show(owner))) {
        return std::nullopt;  // cancelled
    }
    IShellItem* chosen = nullptr;
    if (FAILED(dialog->GetResult(&chosen))) {
        return std::nullopt;
    }
    const ComPtr<IShellItem> result(chosen);
    wchar_t* path = nullptr;
    if (FAILED(result->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
        return std::nullopt;  // no file-system path: the field stays as it was
    }
    const std::unique_ptr<wchar_t, TaskMemFree> owned(path);
    return std::wstring(path);
}

int CALLBACK StartAtFolder(HWND picker, UINT message, LPARAM, LPARAM start) {
    if (message == BFFM_INITIALIZED && start != 0) {
        ::SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, start);
    }
    return 0;
}

std::optional<std::wstring> PickWithBrowseDialog(HWND owner, const std::wstring& title,
                                                 const std::wstring& start) {
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    info.lpfn = &StartAtFolder;
    info.lParam = reinterpret_cast<LPARAM>(start.c_str());
    const std::unique_ptr<ITEMIDLIST, TaskMemFree> chosen(::SHBrowseForFolderW(&info));
    if (!chosen) {
        return std::nullopt;
    }
    std::wstring path(MAX_PATH, L'\0');
    if (!::SHGetPathFromIDListW(chosen.get(), path.data())) {
        return std::nullopt;
    }
    path.resize(path.find(L'\0'));
    return path;
}

}  // namespace

std::optional<std::wstring> PickFolderWithShell(HWND owner, const std::wstring& title,
                                                const std::wstring& start) {
    bool available = false;
    std::optional<std::wstring> folder = PickWithItemDialog(owner, title, start, available);
    if (!available) {
        folder = PickWithBrowseDialog(owner, title, start);
    }
    return folder;
}

}  // namespace packwarden
