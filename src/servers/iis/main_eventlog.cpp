/* The event-log provider of the module. The enable bits are written by the platform's
 * thread that calls the enable callback and read by request threads without a lock; an
 * event around the moment a listener changes may be missed or added. */
#include "servers/iis/main_eventlog.h"

#include <string.h>

#include <atomic>
#include <mutex>

const GUID g_tavrin_provider_guid = {0x6b1f3c52, 0x9d47, 0x4e0a, {0xb8, 0xc3, 0x2f, 0x5d, 0x7a, 0x91, 0xe6, 0x04}};

#define TAV_EVENT_LEVEL_ERROR 2
#define TAV_EVENT_LEVEL_WARNING 3
#define TAV_EVENT_LEVEL_VERBOSE 5
#define TAV_EVENT_CHANNEL_ADMIN 16
#define TAV_EVENT_CHANNEL_DEBUG 17
#define TAV_EVENT_KEYWORD_ADMIN 0x8000000000000000ULL
#define TAV_EVENT_KEYWORD_DEBUG 0x4000000000000000ULL

/* One enable bit per distinct (level, keywords) pair of the provider's events. */
static const struct {
  UCHAR level;
  ULONGLONG keywords;
} kEnableBits[] = {
    {TAV_EVENT_LEVEL_ERROR, TAV_EVENT_KEYWORD_ADMIN},   /* event 1 */
    {TAV_EVENT_LEVEL_WARNING, TAV_EVENT_KEYWORD_ADMIN}, /* event 2 */
    {TAV_EVENT_LEVEL_VERBOSE, TAV_EVENT_KEYWORD_DEBUG}, /* event 4, never written */
};

static const EVENT_DESCRIPTOR kEvent1 = {1, 0, TAV_EVENT_CHANNEL_ADMIN, TAV_EVENT_LEVEL_ERROR, 0, 0,
                                         TAV_EVENT_KEYWORD_ADMIN};
static const EVENT_DESCRIPTOR kEvent2 = {2, 0, TAV_EVENT_CHANNEL_ADMIN, TAV_EVENT_LEVEL_WARNING, 0, 0,
                                         TAV_EVENT_KEYWORD_ADMIN};

/* The provider's process-wide state. */
static struct {
  std::mutex registration_lock;
  std::atomic<REGHANDLE> handle{0};
  std::atomic<int> enabled{0};
  std::atomic<UCHAR> level{0};
  std::atomic<ULONGLONG> match_any{0};
  std::atomic<ULONGLONG> match_all{0};
  std::atomic<unsigned> enable_bits{0};
} g_provider;

ULONG tav_eventlog__register(void) {
  std::lock_guard<std::mutex> lock(g_provider.registration_lock);
  if (g_provider.handle.load() != 0) return ERROR_SUCCESS;
  REGHANDLE handle = 0;
  ULONG result = EventRegister(&g_tavrin_provider_guid, tav_eventlog__enable_callback, &g_provider, &handle);
  if (result == ERROR_SUCCESS) g_provider.handle.store(handle);
  return result;
}

void tav_eventlog__unregister(void) {
  std::lock_guard<std::mutex> lock(g_provider.registration_lock);
  REGHANDLE handle = g_provider.handle.exchange(0);
  if (handle == 0) return;
  EventUnregister(handle);
  /* No listener reaches an unregistered provider: callers stop composing texts. */
  tav_eventlog__enable_callback(NULL, EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0, NULL, NULL);
}

void tav_eventlog__enable_callback(LPCGUID pSourceId, ULONG controlCode, UCHAR level, ULONGLONG matchAnyKeyword,
                                   ULONGLONG matchAllKeyword, PEVENT_FILTER_DESCRIPTOR pFilterData,
                                   PVOID pCallbackContext) {
  (void)pSourceId;
  (void)pFilterData;
  (void)pCallbackContext;
  if (controlCode == EVENT_CONTROL_CODE_ENABLE_PROVIDER) {
    unsigned bits = 0;
    for (unsigned i = 0; i < sizeof kEnableBits / sizeof kEnableBits[0]; i++) {
      ULONGLONG keywords = kEnableBits[i].keywords;
      int bLevel = level == 0 || kEnableBits[i].level <= level;
      int bKeywords =
          keywords == 0 || ((keywords & matchAnyKeyword) != 0 && (keywords & matchAllKeyword) == matchAllKeyword);
      if (bLevel && bKeywords) bits |= 1u << i;
    }
    g_provider.level.store(level);
    g_provider.match_any.store(matchAnyKeyword);
    g_provider.match_all.store(matchAllKeyword);
    g_provider.enabled.store(1);
    g_provider.enable_bits.store(bits);
  } else if (controlCode == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
    g_provider.enabled.store(0);
    g_provider.level.store(0);
    g_provider.match_any.store(0);
    g_provider.match_all.store(0);
    g_provider.enable_bits.store(0);
  }
}

int tav_eventlog__event1_enabled(void) { return (g_provider.enable_bits.load(std::memory_order_relaxed) & 1u) != 0; }

static void write_event(const EVENT_DESCRIPTOR *pEvent, const char *pszText) {
  static const char kNull[] = "NULL";
  EVENT_DATA_DESCRIPTOR data;
  const char *pszData = pszText != NULL ? pszText : kNull;
  EventDataDescCreate(&data, pszData, (ULONG)(strlen(pszData) + 1));
  EventWrite(g_provider.handle.load(), pEvent, 1, &data);
}

void tav_eventlog__write_event1(const char *pszText) { write_event(&kEvent1, pszText); }

int tav_eventlog__event2_enabled(void) { return (g_provider.enable_bits.load(std::memory_order_relaxed) & 2u) != 0; }

void tav_eventlog__write_event2(const char *pszText) { write_event(&kEvent2, pszText); }
