// The configuration store behind the administration COM interfaces (built
// with mingw-w64 only). The admin managers read and write the file that
// TAVRIN_HOST_CONFIG names (a Windows path, or a Unix path that is reached
// through Wine's Z: drive); without it, the server's usual location under
// %SystemRoot%\System32\inetsrv\config.
//
// Tests serve the managers in-process with RegisterAppHostClasses; the
// shipped tool reaches them through iisadmin_com.dll, registered in the
// prefix with `wine regsvr32 iisadmin_com.dll` (InprocServer32).
#pragma once

#include <objbase.h>

namespace iisadmin::com {

// Creates a read-only (writable = false) or writable admin manager.
HRESULT CreateAdminManager(bool writable, REFIID riid, void **object);

// A class factory for one of the two admin-manager class ids.
HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void **object);

// Registers both class ids for this process (CoRegisterClassObject) until
// RevokeAppHostClasses; the calling thread must have initialised COM.
HRESULT RegisterAppHostClasses();
void RevokeAppHostClasses();

// True when no object of this server is alive.
bool CanUnload();

}  // namespace iisadmin::com
