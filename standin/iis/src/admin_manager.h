// The reading side of the administration API over the configuration store,
// as handed to modules by IHttpServer::GetAdminManager.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "iisadmin/config_store.h"
#include "tavrin_iis/http_module.h"

namespace tavrin_iis {

class AdminManager final : public IAppHostAdminManager {
 public:
  // on_error receives the store's explanation of a failed section read
  // (the module sees only the HRESULT).
  // Values that are drive paths of the drive map are handed out as their
  // local paths.
  AdminManager(const iisadmin::ConfigStore &store, const iisadmin::DriveMap &drives,
               std::function<void(const std::string &)> on_error)
      : store_(store), drives_(drives), on_error_(std::move(on_error)) {}

  // Owned by the host: references taken by modules never free it.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetAdminSection(BSTR section_name, BSTR config_path, IAppHostElement **section) override;

 private:
  const iisadmin::ConfigStore &store_;
  const iisadmin::DriveMap &drives_;
  std::function<void(const std::string &)> on_error_;
};

}  // namespace tavrin_iis
