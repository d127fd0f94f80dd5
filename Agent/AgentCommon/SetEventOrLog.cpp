#include "AgentCommon/SetEventOrLog.h"

BOOL setEventOrLog(HANDLE event, const char* methodColumns) {
    BOOL result = SetEvent(event);
    if (!result) {
        DWORD lastError = GetLastError();
        LOG_AT(LogError, methodColumns) << "SetEventFailure"
                                        << " setEventRes=" << 0 << " "
                                        << " lastError=" << lastError << " " << std::endl;
    }
    return result;
}
