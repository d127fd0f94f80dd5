#pragma once
// Sets an event; a failure is logged at Error under the calling function's
// label and is otherwise ignored: nobody who sets one of the agent's events
// can do more about a failure than report it.
//     BOOL ok = SET_EVENT_OR_LOG(event.get());
#include "Log.h"

#include <windows.h>

BOOL setEventOrLog(HANDLE event, const char* methodColumns);

#define SET_EVENT_OR_LOG(event) setEventOrLog((event), ORV_LOG_COLUMNS())
