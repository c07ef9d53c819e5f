// Logon back end over PAM for real Linux accounts. The service file is read
// from the project's own directory (pam_start_confdir), so a missing file
// fails instead of falling back to the system's "other" policy.
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "logon_backend.h"
#include "text.h"

namespace winstandin {

namespace {

// What a logon's conversation with PAM holds: the password it answers
// with, and the delay a failure asked for.
struct Conversation {
  const char* password;
  unsigned fail_delay_us = 0;
};

// Answers every password prompt with the password; anything that asks for
// visible input is refused, since nobody is there to answer.
int converse(int count, const pam_message** messages, pam_response** responses,
             void* conversation) {
  const char* password = static_cast<Conversation*>(conversation)->password;
  auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (!answers) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        answers[i].resp = strdup(password);
        if (!answers[i].resp) goto failed;
        break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO:
        break;
      default:
        goto failed;
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
failed:
  for (int i = 0; i < count; ++i) {
    if (answers[i].resp) {
      explicit_bzero(answers[i].resp, std::strlen(answers[i].resp));
      std::free(answers[i].resp);
    }
  }
  std::free(answers);
  return PAM_CONV_ERR;
}

// Called by libpam instead of sleeping through a module's fail delay.
void record_fail_delay(int result, unsigned delay_us, void* conversation) {
  if (result != PAM_SUCCESS && conversation != nullptr)
    static_cast<Conversation*>(conversation)->fail_delay_us = delay_us;
}

DWORD windows_error(int pam_result) {
  switch (pam_result) {
    case PAM_SUCCESS: return ERROR_SUCCESS;
    case PAM_AUTH_ERR:
    case PAM_USER_UNKNOWN:
    case PAM_CRED_INSUFFICIENT:
    case PAM_MAXTRIES:
    case PAM_PERM_DENIED:
      return ERROR_LOGON_FAILURE;
    case PAM_ACCT_EXPIRED: return ERROR_ACCOUNT_EXPIRED;
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_AUTHTOK_EXPIRED:
      return ERROR_PASSWORD_MUST_CHANGE;
    case PAM_AUTHINFO_UNAVAIL: return ERROR_NO_LOGON_SERVERS;
    case PAM_BUF_ERR: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INTERNAL_ERROR;
  }
}

class PamBackend final : public LogonBackend {
 public:
  explicit PamBackend(const LogonConfig& config)
      : service_(config.pam_service),
        service_dir_(config.pam_service_dir.string()),
        service_file_(config.pam_service_dir / config.pam_service),
        domains_(config.domains) {
    if (service_.empty() || service_dir_.empty())
      throw std::runtime_error("the pam logon back end needs a service and its directory");
    if (domains_.empty())
      throw std::runtime_error("the pam logon back end needs at least one domain");
    if (!std::filesystem::is_regular_file(service_file_))
      throw std::runtime_error("no PAM service file " + service_file_.string());
  }

  DWORD logon(const std::string& user, const std::string& domain,
              const std::string& password, LogonGrant& grant,
              std::chrono::milliseconds& fail_delay) const override {
    bool known_domain = false;
    for (const auto& accepted : domains_) known_domain |= ascii_iequals(accepted, domain);
    if (!known_domain) return ERROR_NO_SUCH_DOMAIN;

    std::string account;
    DWORD error = authenticate(user, password, account, fail_delay);
    if (error != ERROR_SUCCESS) return error;
    return groups_of(account, grant);
  }

  DWORD group_name(uint32_t gid, std::string& name) const override {
    std::vector<char> buffer(1024);
    while (true) {
      group entry;
      group* found = nullptr;
      int rc = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
      if (rc == ERANGE) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (rc == 0 && found) {
        name = found->gr_name;
        return ERROR_SUCCESS;
      }
      // No entry (rc 0, or ENOENT and friends from some NSS modules).
      return (rc == 0 || rc == ENOENT || rc == ESRCH) ? ERROR_NONE_MAPPED
                                                       : ERROR_INTERNAL_ERROR;
    }
  }

 private:
  DWORD authenticate(const std::string& user, const std::string& password,
                     std::string& account, std::chrono::milliseconds& fail_delay) const {
    // libpam would fail too, but leaks on that path; checking first also keeps
    // the failure plain.
    if (!std::filesystem::is_regular_file(service_file_)) {
      std::fprintf(stderr, "logon: no PAM service file %s\n", service_file_.c_str());
      return ERROR_INTERNAL_ERROR;
    }
    Conversation state{password.c_str()};
    pam_conv conversation{converse, &state};
    pam_handle_t* handle = nullptr;
    int rc = pam_start_confdir(service_.c_str(), user.c_str(), &conversation,
                               service_dir_.c_str(), &handle);
    if (rc != PAM_SUCCESS) {
      report(handle, rc);
      return windows_error(rc);
    }
    // A failure's delay is recorded, not slept through on this thread.
    void (*delay_function)(int, unsigned, void*) = record_fail_delay;
    rc = pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(delay_function));
    if (rc == PAM_SUCCESS) rc = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    // A right password is not enough: the account may be expired or locked.
    if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (rc == PAM_SUCCESS) {
      // A module may map the name it was given to the account's own name.
      const void* item = nullptr;
      if (pam_get_item(handle, PAM_USER, &item) == PAM_SUCCESS && item)
        account = static_cast<const char*>(item);
      else
        account = user;
    } else {
      report(handle, rc);
    }
    pam_end(handle, rc);
    if (rc != PAM_SUCCESS) fail_delay = std::chrono::milliseconds(state.fail_delay_us / 1000);
    return windows_error(rc);
  }

  // Failures of the set-up, not of the user's password, go to the host's
  // error output: only there can an operator see why every logon fails.
  void report(pam_handle_t* handle, int rc) const {
    DWORD error = windows_error(rc);
    if (error != ERROR_INTERNAL_ERROR && error != ERROR_NO_LOGON_SERVERS &&
        error != ERROR_NOT_ENOUGH_MEMORY)
      return;
    std::fprintf(stderr, "logon: PAM service %s in %s: %s\n", service_.c_str(),
                 service_dir_.c_str(), pam_strerror(handle, rc));
  }

  static DWORD groups_of(const std::string& account, LogonGrant& grant) {
    std::vector<char> buffer(1024);
    passwd entry;
    passwd* found = nullptr;
    int rc;
    while ((rc = getpwnam_r(account.c_str(), &entry, buffer.data(), buffer.size(),
                            &found)) == ERANGE)
      buffer.resize(buffer.size() * 2);
    if (rc != 0 || !found) return ERROR_INTERNAL_ERROR;

    std::vector<gid_t> gids(32);
    while (true) {
      int count = static_cast<int>(gids.size());
      int size_before = count;
      if (getgrouplist(account.c_str(), found->pw_gid, gids.data(), &count) >= 0) {
        gids.resize(count);
        break;
      }
      gids.resize(count > size_before ? count : size_before * 2);
    }
    for (gid_t gid : gids) grant.groups.push_back({GroupKind::group, gid});
    return ERROR_SUCCESS;
  }

  std::string service_;
  std::string service_dir_;
  std::filesystem::path service_file_;
  std::vector<std::string> domains_;
};

}  // namespace

std::unique_ptr<LogonBackend> make_pam_backend(const LogonConfig& config) {
  return std::make_unique<PamBackend>(config);
}

}  // namespace winstandin
