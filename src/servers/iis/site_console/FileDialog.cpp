#include "FileDialog.h"

#include "Helpers.h"

const GUID kFolderPickerClientGuid = {
    0x75941B58, 0x1374, 0x41CC, {0x82, 0x8A, 0xC7, 0x4B, 0x95, 0xD7, 0xB5, 0x57}};

namespace {

constexpr HRESULT kCancelled = static_cast<HRESULT>(0x800704C7);

template <typename T>
struct Released {
  T *p = nullptr;
  ~Released() {
    if (p != nullptr) p->Release();
  }
};

}  // namespace

FileDialog::FileDialog(const GUID *clientGuid) {
  CHECK_HRESULT(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IFileDialog, reinterpret_cast<void **>(&dialog_)));
  try {
    if (clientGuid != nullptr) CHECK_HRESULT(dialog_->SetClientGuid(*clientGuid));
    FILEOPENDIALOGOPTIONS options = 0;
    CHECK_HRESULT(dialog_->GetOptions(&options));
    CHECK_HRESULT(dialog_->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM |
                                      FOS_FORCESHOWHIDDEN));
  } catch (...) {
    dialog_->Release();
    throw;
  }
}

FileDialog::~FileDialog() { dialog_->Release(); }

void FileDialog::SetTitle(const std::wstring &title) {
  CHECK_HRESULT(dialog_->SetTitle(title.c_str()));
}

void FileDialog::SetFolder(const std::wstring &path) {
  Released<IShellItem> item;
  if (FAILED(SHCreateItemFromParsingName(path.c_str(), nullptr, IID_IShellItem,
                                         reinterpret_cast<void **>(&item.p))))
    return;
  dialog_->SetFolder(item.p);
}

bool FileDialog::Show(HWND owner) {
  if (!filters.empty()) {
    std::vector<COMDLG_FILTERSPEC> specs;
    for (const auto &[name, pattern] : filters) specs.push_back({name.c_str(), pattern.c_str()});
    CHECK_HRESULT(dialog_->SetFileTypes(static_cast<UINT>(specs.size()), specs.data()));
  }
  HRESULT hr = dialog_->Show(owner);
  if (hr == kCancelled) return false;
  CHECK_HRESULT(hr);
  return true;
}

std::wstring FileDialog::GetResultPath() {
  Released<IShellItem> item;
  CHECK_HRESULT(dialog_->GetResult(&item.p));
  wchar_t *path = nullptr;
  CHECK_HRESULT(item.p->GetDisplayName(SIGDN_FILESYSPATH, &path));
  std::wstring result(path);
  CoTaskMemFree(path);
  return result;
}
