// What a logon back end provides to the Windows-shaped logon calls.
#ifndef WINSTANDIN_LOGON_BACKEND_H
#define WINSTANDIN_LOGON_BACKEND_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "winstandin/config.h"
#include "winstandin/logon.h"

namespace winstandin {

// A token group is carried as the SID S-1-22-<kind>-<value>.
enum class GroupKind : uint32_t {
  group = 2,           // value: a group id of the back end
  injected_error = 3,  // value: the error its lookup fails with
};

struct TokenGroup {
  GroupKind kind;
  uint32_t value;
};

struct LogonGrant {
  std::vector<TokenGroup> groups;  // in token order
  DWORD size_error = 0;   // GetTokenInformation's size probe fails with this
  DWORD fetch_error = 0;  // GetTokenInformation's fetch fails with this
};

class LogonBackend {
 public:
  virtual ~LogonBackend() = default;
  // ERROR_SUCCESS and the grant, or the logon's error code and the delay
  // its failure asks for (not slept through). The texts are UTF-8; the
  // domain has been checked to be non-empty.
  virtual DWORD logon(const std::string& user, const std::string& domain,
                      const std::string& password, LogonGrant& grant,
                      std::chrono::milliseconds& fail_delay) const = 0;
  // ERROR_SUCCESS and the group's name, or ERROR_NONE_MAPPED, or another
  // error code.
  virtual DWORD group_name(uint32_t group_id, std::string& name) const = 0;
};

// Both throw std::runtime_error on a bad configuration.
std::unique_ptr<LogonBackend> make_file_backend(const LogonConfig& config);
std::unique_ptr<LogonBackend> make_pam_backend(const LogonConfig& config);

}  // namespace winstandin

#endif
