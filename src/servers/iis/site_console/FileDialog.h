// The shell's folder picker, one instance per use.
#pragma once

#include <windows.h>
#include <shobjidl.h>

#include <string>
#include <utility>
#include <vector>

class FileDialog {
 public:
  // clientGuid (may be null) makes the dialog remember its folder per GUID.
  explicit FileDialog(const GUID *clientGuid);
  ~FileDialog();
  FileDialog(const FileDialog &) = delete;
  FileDialog &operator=(const FileDialog &) = delete;

  void SetTitle(const std::wstring &title);
  // Opens at this folder when it names an existing item; otherwise the
  // dialog opens where it would anyway.
  void SetFolder(const std::wstring &path);
  // True when the user chose a folder, false when they cancelled.
  bool Show(HWND owner);
  // The file-system path of the chosen folder.
  std::wstring GetResultPath();

  // File-type filters (display name, pattern); the folder pickers leave it empty.
  std::vector<std::pair<std::wstring, std::wstring>> filters;

 private:
  IFileDialog *dialog_ = nullptr;
};

// The client GUID shared by the tool's folder pickers.
extern const GUID kFolderPickerClientGuid;
