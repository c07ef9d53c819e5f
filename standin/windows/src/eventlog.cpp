// Event-tracing stand-in. One listening session (the configured sink) stands
// for a trace controller: it tells providers through their enable callbacks
// when it starts, changes or stops, and writes each event it accepts as one
// JSON line to its file (and to syslog when asked).
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "text.h"
#include "winstandin/config.h"
#include "winstandin/eventlog.h"

namespace winstandin {

const GUID tavrin_provider_guid = {
    0x6b1f3c52, 0x9d47, 0x4e0a, {0xb8, 0xc3, 0x2f, 0x5d, 0x7a, 0x91, 0xe6, 0x04}};

namespace {

// What an installed manifest tells a listener about a provider.
struct Manifest {
  GUID guid;
  const char* name;
  std::map<UCHAR, const char*> channels;
};

const std::vector<Manifest>& installed_manifests() {
  static const std::vector<Manifest> manifests = {
      {tavrin_provider_guid, "Tavrin", {{16, "Tavrin/Admin"}, {17, "Tavrin/Debug"}}},
  };
  return manifests;
}

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const Manifest* manifest_of(const GUID& guid) {
  for (const auto& manifest : installed_manifests())
    if (same_guid(manifest.guid, guid)) return &manifest;
  return nullptr;
}

std::string guid_text(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text,
                "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

GUID provider_guid(const std::string& provider) {
  for (const auto& manifest : installed_manifests())
    if (provider == manifest.name) return manifest.guid;
  GUID g{};
  unsigned parts[11];
  int consumed = 0;
  if (provider.size() == 38 &&
      std::sscanf(provider.c_str(),
                  "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &parts[0],
                  &parts[1], &parts[2], &parts[3], &parts[4], &parts[5],
                  &parts[6], &parts[7], &parts[8], &parts[9], &parts[10],
                  &consumed) == 11 &&
      consumed == 38) {
    g.Data1 = parts[0];
    g.Data2 = static_cast<uint16_t>(parts[1]);
    g.Data3 = static_cast<uint16_t>(parts[2]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(parts[3 + i]);
    return g;
  }
  throw std::runtime_error("unknown event provider '" + provider +
                           "' (neither an installed manifest's name nor a GUID)");
}

struct Session {
  bool enabled;
  UCHAR level;
  ULONGLONG match_any;
  ULONGLONG match_all;
};

// The same test the enable callbacks of manifest-based providers make.
bool session_accepts(const Session& s, UCHAR level, ULONGLONG keyword) {
  if (!s.enabled) return false;
  if (s.level != 0 && level > s.level) return false;
  return keyword == 0 || ((keyword & s.match_any) != 0 &&
                          (keyword & s.match_all) == s.match_all);
}

class Sink {
 public:
  explicit Sink(const EventSinkConfig& config)
      : config_(config), provider_(provider_guid(config.provider)),
        session_{true, config.level, config.match_any, config.match_all} {
    fd_ = ::open(config.file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd_ < 0)
      throw std::runtime_error("cannot open the event file " + config.file.string() +
                               ": " + std::strerror(errno));
  }
  ~Sink() { ::close(fd_); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  bool listens_to(const GUID& guid) const { return same_guid(provider_, guid); }

  Session session() const {
    std::lock_guard lock(mutex_);
    return session_;
  }

  void set_session(const Session& session) {
    std::lock_guard lock(mutex_);
    session_ = session;
  }

  ULONG write(const GUID& guid, const EVENT_DESCRIPTOR& event,
              const std::vector<std::string_view>& items) {
    if (!session_accepts(session(), event.Level, event.Keyword)) return ERROR_SUCCESS;
    std::size_t bytes = 0;
    for (auto item : items) bytes += item.size();
    if (config_.max_event_bytes && bytes > config_.max_event_bytes)
      return ERROR_ARITHMETIC_OVERFLOW;

    std::string line = format(guid, event, items);
    std::lock_guard lock(mutex_);
    if (config_.syslog) ::syslog(LOG_USER | syslog_priority(event.Level), "%s", line.c_str());
    line += '\n';
    // One write per line with O_APPEND: lines of concurrent writers (and of
    // other processes sharing the file) never interleave.
    ssize_t written;
    do {
      written = ::write(fd_, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(line.size()) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
  }

 private:
  static int syslog_priority(UCHAR level) {
    switch (level) {
      case 1: return LOG_CRIT;
      case 2: return LOG_ERR;
      case 3: return LOG_WARNING;
      case 4: return LOG_INFO;
      case 5: return LOG_DEBUG;
      default: return LOG_NOTICE;
    }
  }

  static std::string format(const GUID& guid, const EVENT_DESCRIPTOR& event,
                            const std::vector<std::string_view>& items) {
    const Manifest* manifest = manifest_of(guid);
    std::string line = "{\"time\":\"" + utc_now() + "\",\"provider\":";
    append_json_string(line, manifest ? manifest->name : guid_text(guid));
    line += ",\"channel\":";
    auto channel = manifest ? manifest->channels.find(event.Channel)
                            : std::map<UCHAR, const char*>::const_iterator{};
    if (manifest && channel != manifest->channels.end())
      append_json_string(line, channel->second);
    else
      line += std::to_string(event.Channel);
    line += ",\"level\":" + std::to_string(event.Level) +
            ",\"id\":" + std::to_string(event.Id) +
            ",\"version\":" + std::to_string(event.Version) + ",\"data\":";
    if (items.size() == 1) {
      append_json_string(line, items[0]);
    } else {
      line += '[';
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) line += ',';
        append_json_string(line, items[i]);
      }
      line += ']';
    }
    line += '}';
    return line;
  }

  static std::string utc_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                  parts.tm_hour, parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000);
    return text;
  }

  EventSinkConfig config_;
  GUID provider_;
  int fd_ = -1;
  mutable std::mutex mutex_;
  Session session_;
};

struct Registration {
  GUID guid;
  PENABLECALLBACK callback;
  PVOID context;
};

// Register, unregister and session changes are serialised by control_mutex,
// and enable callbacks run under it, so that no callback runs after
// EventUnregister returns. It is recursive because a callback may itself
// register or unregister. state_mutex guards the tables; EventWrite holds it
// shared for the whole write, so an unregister also waits for writes in flight.
std::recursive_mutex control_mutex;
std::shared_mutex state_mutex;
std::map<REGHANDLE, Registration> registrations;
REGHANDLE next_handle = 1;
std::shared_ptr<Sink> sink;

void notify(const Registration& r, ULONG code, const Session& s) {
  if (r.callback) r.callback(&r.guid, code, s.level, s.match_any, s.match_all, nullptr, r.context);
}

}  // namespace

void configure_event_sink(const std::optional<EventSinkConfig>& config) {
  std::lock_guard control(control_mutex);
  auto next = config ? std::make_shared<Sink>(*config) : nullptr;
  std::shared_ptr<Sink> previous;
  {
    std::unique_lock lock(state_mutex);
    previous = std::exchange(sink, next);
  }
  const Session stopped{false, 0, 0, 0};
  if (previous) {
    for (const auto& [handle, r] : std::map(registrations))
      if (previous->listens_to(r.guid) && !(next && next->listens_to(r.guid)))
        notify(r, EVENT_CONTROL_CODE_DISABLE_PROVIDER, stopped);
  }
  if (next) {
    for (const auto& [handle, r] : std::map(registrations))
      if (next->listens_to(r.guid))
        notify(r, EVENT_CONTROL_CODE_ENABLE_PROVIDER, next->session());
  }
}

void control_event_session(ULONG code, UCHAR level, ULONGLONG match_any,
                           ULONGLONG match_all) {
  std::lock_guard control(control_mutex);
  std::shared_ptr<Sink> current;
  {
    std::shared_lock lock(state_mutex);
    current = sink;
  }
  if (!current) return;
  Session session{true, level, match_any, match_all};
  if (code == EVENT_CONTROL_CODE_ENABLE_PROVIDER) current->set_session(session);
  if (code == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
    session = {false, 0, 0, 0};
    current->set_session(session);
  }
  for (const auto& [handle, r] : std::map(registrations))
    if (current->listens_to(r.guid)) notify(r, code, session);
}

}  // namespace winstandin

using namespace winstandin;

extern "C" {

ULONG EventRegister(LPCGUID provider_id, PENABLECALLBACK enable_callback,
                    PVOID callback_context, PREGHANDLE handle) {
  if (!handle) return ERROR_INVALID_PARAMETER;
  *handle = 0;
  if (!provider_id) return ERROR_INVALID_PARAMETER;
  std::lock_guard control(control_mutex);
  Registration registration{*provider_id, enable_callback, callback_context};
  std::shared_ptr<Sink> listener;
  try {
    std::unique_lock lock(state_mutex);
    registrations.emplace(next_handle, registration);
    *handle = next_handle++;
    listener = sink;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (listener && listener->listens_to(*provider_id)) {
    Session session = listener->session();
    if (session.enabled) notify(registration, EVENT_CONTROL_CODE_ENABLE_PROVIDER, session);
  }
  return ERROR_SUCCESS;
}

ULONG EventUnregister(REGHANDLE handle) {
  std::lock_guard control(control_mutex);
  std::unique_lock lock(state_mutex);
  return registrations.erase(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

ULONG EventWrite(REGHANDLE handle, PCEVENT_DESCRIPTOR descriptor,
                 ULONG data_count, PEVENT_DATA_DESCRIPTOR data) {
  if (!descriptor || (data_count && !data)) return ERROR_INVALID_PARAMETER;
  try {
    std::vector<std::string_view> items;
    for (ULONG i = 0; i < data_count; ++i) {
      const auto* bytes = reinterpret_cast<const char*>(static_cast<uintptr_t>(data[i].Ptr));
      if (!bytes && data[i].Size) return ERROR_INVALID_PARAMETER;
      std::string_view item(bytes ? bytes : "", data[i].Size);
      // An ANSI string field ends at its NUL.
      items.push_back(item.substr(0, item.find('\0')));
    }
    std::shared_lock lock(state_mutex);
    auto found = registrations.find(handle);
    if (found == registrations.end()) return ERROR_INVALID_HANDLE;
    if (!sink || !sink->listens_to(found->second.guid)) return ERROR_SUCCESS;
    return sink->write(found->second.guid, *descriptor, items);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // extern "C"
