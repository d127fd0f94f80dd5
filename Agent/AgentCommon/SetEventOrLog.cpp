#include "AgentCommon/SetEventOrLog.h"

#include "AgentCommon/PlatformErrorLog.h"

BOOL setEventOrLog(HANDLE event, const char* methodColumns) {
    BOOL result = SetEvent(event);
    if (!result)
        logSetEventFailure(methodColumns, GetLastError());
    return result;
}
