/* The event-log provider "Tavrin": its registration (once per process), the enable state a
 * listener sets through the callback, and the events the module writes in channel
 * "Tavrin/Admin": event 1 (level Error) for failed requests and event 2 (level Warning) for
 * conditions that fail nothing. */
#ifndef MAIN_EVENTLOG_H
#define MAIN_EVENTLOG_H

#include "winstandin/eventlog.h"

/* The provider's GUID, the same as in its manifest. */
extern const GUID g_tavrin_provider_guid;

/* Registers the provider unless it is registered; returns the platform's result (callers
 * may ignore it: without a registration writes have no effect). Safe on many threads. */
ULONG tav_eventlog__register(void);
/* Unregisters the provider when it is registered. */
void tav_eventlog__unregister(void);
/* The enable callback: control code 1 enables with the listener's level and keywords, 0
 * disables, anything else changes nothing. */
void tav_eventlog__enable_callback(LPCGUID pSourceId, ULONG controlCode, UCHAR level, ULONGLONG matchAnyKeyword,
                                   ULONGLONG matchAllKeyword, PEVENT_FILTER_DESCRIPTOR pFilterData,
                                   PVOID pCallbackContext);
/* Nonzero when a listener takes event 1; test it before composing the text. */
int tav_eventlog__event1_enabled(void);
/* Writes event 1 with the text (its NUL included), or "NULL" for a NULL text. A failed
 * write is ignored. */
void tav_eventlog__write_event1(const char *pszText);
/* The same for event 2, the warning. */
int tav_eventlog__event2_enabled(void);
void tav_eventlog__write_event2(const char *pszText);

#endif
