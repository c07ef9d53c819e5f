// Windows-shaped logon calls over the configured back end: the token is a
// heap object holding the logon's group list, handed out as a handle.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "logon_backend.h"
#include "text.h"
#include "winstandin/logon.h"

namespace winstandin {

namespace {

std::mutex backend_mutex;
std::shared_ptr<const LogonBackend> current_backend;

std::shared_ptr<const LogonBackend> backend() {
  std::lock_guard lock(backend_mutex);
  return current_backend;
}

// The delay the last failed logon of this thread asked for.
thread_local std::chrono::milliseconds failed_logon_delay{0};

struct TokenData {
  LogonGrant grant;
};

// Standard layout, so that the handle (a pointer to `header`) converts back.
struct Token {
  WinstandinObject header;
  TokenData* data;
};

BOOL close_token(WinstandinObject* object) {
  auto* token = reinterpret_cast<Token*>(object);
  delete token->data;
  delete token;
  return TRUE;
}

Token* as_token(HANDLE handle) {
  return reinterpret_cast<Token*>(WinstandinHandleFind(handle, close_token));
}

constexpr BYTE unix_sid_authority = 22;
constexpr DWORD sid_size = 8 + 2 * sizeof(DWORD);  // two sub-authorities

void write_sid(BYTE* at, const TokenGroup& group) {
  BYTE head[8] = {1, 2, 0, 0, 0, 0, 0, unix_sid_authority};
  DWORD sub[2] = {static_cast<DWORD>(group.kind), group.value};
  std::memcpy(at, head, sizeof head);
  std::memcpy(at + sizeof head, sub, sizeof sub);
}

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace

void configure_logon(const LogonConfig& config) {
  std::shared_ptr<const LogonBackend> next;
  switch (config.backend) {
    case LogonConfig::Backend::none: break;
    case LogonConfig::Backend::file: next = make_file_backend(config); break;
    case LogonConfig::Backend::pam: next = make_pam_backend(config); break;
  }
  std::lock_guard lock(backend_mutex);
  current_backend = std::move(next);
}

std::chrono::milliseconds take_failed_logon_delay() {
  return std::exchange(failed_logon_delay, std::chrono::milliseconds(0));
}

}  // namespace winstandin

using namespace winstandin;

extern "C" {

BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password,
                DWORD logon_type, DWORD logon_provider, PHANDLE token) {
  if (!token) return fail(ERROR_INVALID_PARAMETER);
  *token = nullptr;
  if (!user || !password || logon_type != LOGON32_LOGON_INTERACTIVE ||
      logon_provider != LOGON32_PROVIDER_DEFAULT)
    return fail(ERROR_INVALID_PARAMETER);

  // An unpaired surrogate has no UTF-8 form, so no account can match it.
  auto user8 = utf16_to_utf8(user);
  auto password8 = utf16_to_utf8(password);
  std::optional<std::string> domain8 = domain ? utf16_to_utf8(domain) : std::string();
  if (!user8 || !password8 || !domain8) return fail(ERROR_LOGON_FAILURE);
  if (!domain) {
    auto at = user8->rfind('@');
    if (at != std::string::npos) {
      *domain8 = user8->substr(at + 1);
      user8->resize(at);
    }
  }
  if (domain8->empty()) return fail(ERROR_NO_SUCH_DOMAIN);
  if (user8->empty() || password8->empty()) return fail(ERROR_LOGON_FAILURE);

  auto checker = backend();
  if (!checker) return fail(ERROR_NO_LOGON_SERVERS);
  auto data = std::unique_ptr<TokenData>(new (std::nothrow) TokenData);
  if (!data) return fail(ERROR_NOT_ENOUGH_MEMORY);
  DWORD error;
  std::chrono::milliseconds delay{0};
  try {
    error = checker->logon(*user8, *domain8, *password8, data->grant, delay);
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != ERROR_SUCCESS) {
    failed_logon_delay = std::max(failed_logon_delay, delay);
    return fail(error);
  }

  auto* object = new (std::nothrow) Token{{close_token}, nullptr};
  if (!object) return fail(ERROR_NOT_ENOUGH_MEMORY);
  object->data = data.release();
  *token = WinstandinHandleOpen(&object->header);
  if (!*token) {
    close_token(&object->header);
    return FALSE;
  }
  return TRUE;
}

BOOL GetTokenInformation(HANDLE handle, TOKEN_INFORMATION_CLASS info_class,
                         LPVOID info, DWORD info_length, PDWORD return_length) {
  Token* token = as_token(handle);
  if (!token) return fail(ERROR_INVALID_HANDLE);
  if (info_class != TokenGroups) return fail(ERROR_INVALID_PARAMETER);
  if (!return_length || (!info && info_length)) return fail(ERROR_NOACCESS);

  const LogonGrant& grant = token->data->grant;
  const std::size_t count = grant.groups.size();
  const std::size_t array_end =
      offsetof(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES);
  const std::size_t header = std::max(sizeof(TOKEN_GROUPS), array_end);
  const std::size_t needed = header + count * sid_size;
  if (needed > UINT32_MAX) return fail(ERROR_ARITHMETIC_OVERFLOW);

  if (info_length < needed) {
    *return_length = static_cast<DWORD>(needed);
    return fail(grant.size_error ? grant.size_error : ERROR_INSUFFICIENT_BUFFER);
  }
  if (reinterpret_cast<uintptr_t>(info) % alignof(TOKEN_GROUPS) != 0)
    return fail(ERROR_NOACCESS);
  if (grant.fetch_error) return fail(grant.fetch_error);

  auto* bytes = static_cast<BYTE*>(info);
  auto* groups = static_cast<TOKEN_GROUPS*>(info);
  groups->GroupCount = static_cast<DWORD>(count);
  for (std::size_t i = 0; i < count; ++i) {
    BYTE* sid = bytes + header + i * sid_size;
    write_sid(sid, grant.groups[i]);
    groups->Groups[i].Sid = sid;
    groups->Groups[i].Attributes =
        SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
  }
  *return_length = static_cast<DWORD>(needed);
  return TRUE;
}

BOOL LookupAccountSidA(LPCSTR system_name, PSID sid, LPSTR name,
                       LPDWORD name_length, LPSTR domain, LPDWORD domain_length,
                       PSID_NAME_USE use) {
  if (system_name && *system_name) return fail(ERROR_INVALID_PARAMETER);
  if (!sid || !name_length || !domain_length || !use) return fail(ERROR_NOACCESS);
  BYTE head[8];
  std::memcpy(head, sid, sizeof head);
  if (head[0] != 1 || head[1] > 15) return fail(ERROR_INVALID_SID);
  static const BYTE unix_authority[6] = {0, 0, 0, 0, 0, unix_sid_authority};
  if (head[1] != 2 || std::memcmp(head + 2, unix_authority, 6) != 0)
    return fail(ERROR_NONE_MAPPED);
  DWORD sub[2];
  std::memcpy(sub, static_cast<BYTE*>(sid) + sizeof head, sizeof sub);

  if (sub[0] == static_cast<DWORD>(GroupKind::injected_error)) return fail(sub[1]);
  if (sub[0] != static_cast<DWORD>(GroupKind::group)) return fail(ERROR_NONE_MAPPED);
  auto checker = backend();
  if (!checker) return fail(ERROR_NONE_MAPPED);
  std::string group, machine;
  try {
    DWORD error = checker->group_name(sub[1], group);
    if (error != ERROR_SUCCESS) return fail(error);
    machine = host_name();
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (*name_length <= group.size() || *domain_length <= machine.size() ||
      !name || !domain) {
    *name_length = static_cast<DWORD>(group.size() + 1);
    *domain_length = static_cast<DWORD>(machine.size() + 1);
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(name, group.c_str(), group.size() + 1);
  std::memcpy(domain, machine.c_str(), machine.size() + 1);
  *name_length = static_cast<DWORD>(group.size());
  *domain_length = static_cast<DWORD>(machine.size());
  *use = SidTypeGroup;
  return TRUE;
}

}  // extern "C"
