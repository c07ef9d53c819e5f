// Logon back end over a file of test accounts: bcrypt-hashed passwords,
// groups, and failures a test can inject.
#include <crypt.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "logon_backend.h"
#include "text.h"

namespace winstandin {

namespace {

struct Account {
  std::string domain;
  std::string user;
  std::string hash;
  std::vector<TokenGroup> groups;
  bool expired = false;
  DWORD logon_error = 0;
  DWORD size_error = 0;
  DWORD fetch_error = 0;
  std::chrono::milliseconds fail_delay{0};
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

DWORD parse_code(const std::string& text) {
  DWORD code = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
  if (ec != std::errc() || end != text.data() + text.size() || code == 0)
    throw std::runtime_error("bad error code '" + text + "'");
  return code;
}

// Only bcrypt: any other crypt setting (DES, MD5, ...) would be accepted by
// crypt_rn and verified with a weak scheme.
bool is_bcrypt(const std::string& hash) {
  static const std::regex form(R"(^\$2[aby]\$[0-9]{2}\$[./A-Za-z0-9]{53}$)");
  return std::regex_match(hash, form);
}

bool password_matches(const std::string& password, const std::string& hash) {
  auto data = std::make_unique<crypt_data>();  // about 32 KiB: not on the stack
  const char* computed = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
  if (!computed || computed[0] == '*' || std::strlen(computed) != hash.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < hash.size(); ++i)
    difference |= static_cast<unsigned char>(computed[i] ^ hash[i]);
  return difference == 0;
}

class FileBackend final : public LogonBackend {
 public:
  explicit FileBackend(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read the accounts file " + path.string());
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      try {
        add_account(line);
      } catch (const std::runtime_error& e) {
        throw std::runtime_error(path.string() + " line " + std::to_string(number) +
                                 ": " + e.what());
      }
    }
  }

  DWORD logon(const std::string& user, const std::string& domain,
              const std::string& password, LogonGrant& grant,
              std::chrono::milliseconds& fail_delay) const override {
    const Account* account = find(user, domain);
    if (!account) return knows_domain(domain) ? ERROR_LOGON_FAILURE : ERROR_NO_SUCH_DOMAIN;
    if (account->logon_error) return account->logon_error;
    if (!password_matches(password, account->hash)) {
      fail_delay = account->fail_delay;
      return ERROR_LOGON_FAILURE;
    }
    if (account->expired) return ERROR_ACCOUNT_EXPIRED;
    grant.groups = account->groups;
    grant.size_error = account->size_error;
    grant.fetch_error = account->fetch_error;
    return ERROR_SUCCESS;
  }

  DWORD group_name(uint32_t group_id, std::string& name) const override {
    if (group_id == 0 || group_id > group_names_.size()) return ERROR_NONE_MAPPED;
    name = group_names_[group_id - 1];
    return ERROR_SUCCESS;
  }

 private:
  bool knows_domain(const std::string& domain) const {
    for (const auto& account : accounts_)
      if (ascii_iequals(account.domain, domain)) return true;
    return false;
  }

  const Account* find(const std::string& user, const std::string& domain) const {
    for (const auto& account : accounts_)
      if (ascii_iequals(account.user, user) && ascii_iequals(account.domain, domain))
        return &account;
    return nullptr;
  }

  void add_account(const std::string& line) {
    auto fields = split(line, ':');
    if (fields.size() != 5)
      throw std::runtime_error("expected domain:user:hash:groups:options");
    Account account{fields[0], fields[1], fields[2], {}};
    if (account.domain.empty() || account.user.empty())
      throw std::runtime_error("empty domain or user");
    if (find(account.user, account.domain))
      throw std::runtime_error("account listed twice");
    if (!is_bcrypt(account.hash))
      throw std::runtime_error("the password hash is not bcrypt ($2a$, $2b$ or $2y$)");
    if (!fields[3].empty())
      for (const auto& group : split(fields[3], ','))
        account.groups.push_back(parse_group(group));
    if (!fields[4].empty())
      for (const auto& option : split(fields[4], ',')) parse_option(option, account);
    accounts_.push_back(std::move(account));
  }

  TokenGroup parse_group(const std::string& group) {
    if (group.empty()) throw std::runtime_error("empty group name");
    if (group == "#unmapped")
      return {GroupKind::group, unmapped_base + unmapped_count_++};
    if (group.rfind("#error=", 0) == 0)
      return {GroupKind::injected_error, parse_code(group.substr(7))};
    auto [it, added] = group_ids_.try_emplace(group, group_names_.size() + 1);
    if (added) group_names_.push_back(group);
    return {GroupKind::group, it->second};
  }

  static void parse_option(const std::string& option, Account& account) {
    auto equals = option.find('=');
    std::string key = option.substr(0, equals);
    if (equals == std::string::npos && key == "expired") {
      account.expired = true;
      return;
    }
    if (equals == std::string::npos) throw std::runtime_error("unknown option '" + option + "'");
    DWORD code = parse_code(option.substr(equals + 1));
    if (key == "delay") account.fail_delay = std::chrono::milliseconds(code);
    else if (key == "logon") account.logon_error = code;
    else if (key == "size") account.size_error = code;
    else if (key == "fetch") account.fetch_error = code;
    else throw std::runtime_error("unknown option '" + option + "'");
  }

  static constexpr uint32_t unmapped_base = 0x80000000u;
  std::vector<Account> accounts_;
  std::vector<std::string> group_names_;
  std::map<std::string, uint32_t> group_ids_;
  uint32_t unmapped_count_ = 0;
};

}  // namespace

std::unique_ptr<LogonBackend> make_file_backend(const LogonConfig& config) {
  if (config.accounts_file.empty())
    throw std::runtime_error("the file logon back end needs an accounts file");
  return std::make_unique<FileBackend>(config.accounts_file);
}

}  // namespace winstandin
