#include "AgentCommon/PlatformErrorLog.h"

void logPlatformError(const char* methodColumns, i64 code, const char* call) {
    LOG_AT(LogError, methodColumns) << "Error " << code << " in " << call << "." << std::endl;
}

void logSetEventFailure(const char* methodColumns, u32 lastError) {
    LOG_AT(LogError, methodColumns) << "SetEventFailure"
                                    << " setEventRes=" << 0 << " "
                                    << " lastError=" << lastError << " " << std::endl;
}
