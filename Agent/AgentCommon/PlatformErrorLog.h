#pragma once
// The records of a failing platform call, worded once. Each is written at
// Error under the label of the function that made the call:
//     LOG_PLATFORM_ERROR(GetLastError(), "WinHttpOpen");   // "Error 12029 in WinHttpOpen."
// A helper that reports for its caller passes the caller's columns
// (ORV_LOG_COLUMNS() taken there) to logPlatformError itself.
#include "Log.h"
#include "Types.h"

// "Error " + code + " in " + call + "." The code is printed as the caller
// holds it: an unsigned last error as unsigned, a registry or errno code as
// signed.
void logPlatformError(const char* methodColumns, i64 code, const char* call);
// "SetEventFailure setEventRes=0  lastError=" + lastError + " ".
void logSetEventFailure(const char* methodColumns, u32 lastError);

#define LOG_PLATFORM_ERROR(code, call) logPlatformError(ORV_LOG_COLUMNS(), (code), (call))
