// iisadmin_com.dll: the in-process server of the admin managers, for the
// tool as shipped. `wine regsvr32 iisadmin_com.dll` registers both class
// ids (InprocServer32, apartment threaded) in the prefix.
#include <windows.h>

#include <string>

#include "AppHostAdmin.h"
#include "iisadmin/com_server.h"

namespace {

HMODULE g_module = nullptr;

std::wstring ClassKey(REFCLSID clsid) {
  wchar_t text[64];
  StringFromGUID2(clsid, text, 64);
  return std::wstring(L"CLSID\\") + text;
}

HRESULT RegisterClass(REFCLSID clsid, const wchar_t *description) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return HRESULT_FROM_WIN32(GetLastError());
  std::wstring key = ClassKey(clsid);
  auto set = [](const std::wstring &k, const wchar_t *name, const std::wstring &value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, k.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  };
  LSTATUS status = set(key, nullptr, description);
  if (status == ERROR_SUCCESS) status = set(key + L"\\InprocServer32", nullptr, path);
  if (status == ERROR_SUCCESS)
    status = set(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  return HRESULT_FROM_WIN32(status);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void **object) {
  return iisadmin::com::GetClassObject(clsid, riid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return iisadmin::com::CanUnload() ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  HRESULT hr = RegisterClass(CLSID_AppHostAdminManager, L"Configuration admin manager (stand-in)");
  if (SUCCEEDED(hr))
    hr = RegisterClass(CLSID_AppHostWritableAdminManager,
                       L"Writable configuration admin manager (stand-in)");
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  for (const CLSID *clsid : {&CLSID_AppHostAdminManager, &CLSID_AppHostWritableAdminManager})
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey(*clsid).c_str());
  return S_OK;
}
