/* Event-tracing stand-in: providers register with an enable callback and
 * write events; the listening session is the sink the host configures (see
 * winstandin/config.h), which writes each event it accepts as one JSON line. */
#ifndef WINSTANDIN_EVENTLOG_H
#define WINSTANDIN_EVENTLOG_H

#include "winstandin/winbase.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef const GUID *LPCGUID;

typedef ULONGLONG REGHANDLE, *PREGHANDLE;

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0u
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1u
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2u

typedef struct EVENT_FILTER_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

typedef void (*PENABLECALLBACK)(LPCGUID source_id, ULONG control_code,
                                UCHAR level, ULONGLONG match_any_keyword,
                                ULONGLONG match_all_keyword,
                                PEVENT_FILTER_DESCRIPTOR filter_data,
                                PVOID callback_context);

typedef struct EVENT_DESCRIPTOR {
  USHORT Id;
  UCHAR Version;
  UCHAR Channel;
  UCHAR Level;
  UCHAR Opcode;
  USHORT Task;
  ULONGLONG Keyword;
} EVENT_DESCRIPTOR, *PEVENT_DESCRIPTOR;
typedef const EVENT_DESCRIPTOR *PCEVENT_DESCRIPTOR;

typedef struct EVENT_DATA_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Reserved;
} EVENT_DATA_DESCRIPTOR, *PEVENT_DATA_DESCRIPTOR;

static inline void EventDataDescCreate(PEVENT_DATA_DESCRIPTOR descriptor,
                                       const void *data, ULONG size) {
  descriptor->Ptr = (ULONGLONG)(uintptr_t)data;
  descriptor->Size = size;
  descriptor->Reserved = 0;
}

/* Registers a provider. When the configured sink listens to this provider,
 * the callback is called with EVENT_CONTROL_CODE_ENABLE_PROVIDER before
 * EventRegister returns, as a running session would. Returns ERROR_SUCCESS
 * or ERROR_INVALID_PARAMETER (*handle is then 0). */
WINSTANDIN_API ULONG EventRegister(LPCGUID provider_id,
                                   PENABLECALLBACK enable_callback,
                                   PVOID callback_context, PREGHANDLE handle);

/* After it returns, the provider's callback is not called again and writes
 * on the handle have no effect. ERROR_INVALID_HANDLE for an unknown handle. */
WINSTANDIN_API ULONG EventUnregister(REGHANDLE handle);

/* Delivers the event to the sink when the sink listens, the event's level is
 * at most the sink's (or the sink's level is 0) and its keyword passes the
 * sink's match-any/match-all keywords. Each data item is an ANSI string: its
 * text ends at its first NUL byte or its size. Returns ERROR_SUCCESS also
 * when nobody listens; ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER,
 * ERROR_ARITHMETIC_OVERFLOW (above the sink's size limit) or
 * ERROR_WRITE_FAULT otherwise. */
WINSTANDIN_API ULONG EventWrite(REGHANDLE handle,
                                PCEVENT_DESCRIPTOR descriptor,
                                ULONG data_count,
                                PEVENT_DATA_DESCRIPTOR data);

#ifdef __cplusplus
}
#endif

#endif
