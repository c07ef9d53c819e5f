// Host-side configuration of the Windows stand-ins: which back end checks
// logons, and which sink listens to event providers. Only the host program
// and tests call these; the module sees the Windows-shaped functions alone.
#ifndef WINSTANDIN_CONFIG_H
#define WINSTANDIN_CONFIG_H

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "winstandin/eventlog.h"

namespace winstandin {

struct LogonConfig {
  enum class Backend { none, file, pam };
  Backend backend = Backend::none;
  // file: one account a line, "domain:user:bcrypt-hash:groups:options";
  // '#' starts a comment line. Groups are comma-separated names in token
  // order; "#unmapped" is a group whose lookup finds no name, "#error=N" one
  // whose lookup fails with N. Options (comma-separated): "expired" (a right
  // password then fails with ERROR_ACCOUNT_EXPIRED), "logon=N" (the logon
  // fails with N), "size=N" / "fetch=N" (GetTokenInformation's size probe /
  // fetch fails with N), "delay=MS" (a wrong password fails with this
  // delay, as pam_unix's does). Domain and user compare ignoring ASCII case.
  std::filesystem::path accounts_file;
  // pam: the directory holding the service file (pam_start_confdir, so a
  // missing file fails instead of falling back to the system's policy).
  std::filesystem::path pam_service_dir;
  std::string pam_service = "tavrin";
  // pam: the domains accepted (compared ignoring ASCII case); any other
  // domain fails as an unknown domain would.
  std::vector<std::string> domains;
};

// Replaces the logon back end; logons already running finish on the old one.
// Throws std::runtime_error naming the problem (a missing setting, an
// unreadable accounts file, a bad line with its number) and then keeps the
// previous configuration.
WINSTANDIN_API void configure_logon(const LogonConfig& config);

// A failed logon's delay (pam_unix waits about two seconds after a wrong
// password, which slows down guessing) is not slept through by the logon:
// the failed LogonUserW records it for its thread instead, so that the host
// delays that client's answer without holding a worker. Returns the delay
// recorded on the calling thread since the last call, and clears it.
WINSTANDIN_API std::chrono::milliseconds take_failed_logon_delay();

struct EventSinkConfig {
  // The provider listened to: its name in an installed manifest ("Tavrin")
  // or its GUID text "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
  std::string provider = "Tavrin";
  std::filesystem::path file;  // JSON lines, appended
  // An event passes when its level is at most `level` (0: every level) and
  // its keyword is 0 or shares a bit with `match_any` and holds every bit of
  // `match_all`; providers apply the same test in their enable callbacks.
  UCHAR level = 0;
  ULONGLONG match_any = ~0ULL;
  ULONGLONG match_all = 0;
  bool syslog = false;         // also send each line to syslog
  std::size_t max_event_bytes = 0;  // 0: no limit on an event's data
};

// Starts (or, with nullopt, stops) the listening session. Registered
// providers are told through their enable callbacks, as a trace controller
// would tell them. Throws std::runtime_error when the file cannot be opened
// or the provider is unknown; the previous sink then stays.
WINSTANDIN_API void configure_event_sink(const std::optional<EventSinkConfig>& sink);

// Acts as the trace controller on the running session: code 1 enables it
// with this level and these keywords, code 0 disables it, and every code is
// passed to the enable callbacks of the providers it listens to.
// Does nothing when no sink is configured.
WINSTANDIN_API void control_event_session(ULONG control_code, UCHAR level,
                                          ULONGLONG match_any,
                                          ULONGLONG match_all);

// The installed manifest of the "Tavrin" provider: this GUID, channels
// 16 "Tavrin/Admin" and 17 "Tavrin/Debug".
WINSTANDIN_API extern const GUID tavrin_provider_guid;

}  // namespace winstandin

#endif
