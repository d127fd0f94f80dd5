// The start sequence against the real service control manager (Wine's when
// the tests run on Linux, where PlugPlay is running once the prefix is up).
#ifdef _WIN32
#include "AgentCommon/ServiceUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

TEST(ServiceUtils, MissingAndRunningServices) {
    struct Row {
        const char* service;
        u32 result;
        const char* record;
    };
    const Row rows[] = {
        {"OrvelNoSuchServiceForTests", 1060, "OpenService failed with error code 1060"},
        {"PlugPlay", 0, "Cannot start the service because it is already running"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.service);
        LogCapture::instance().clear();
        EXPECT_EQ(row.result, ServiceUtils::startService(row.service));
        EXPECT_EQ(std::vector<std::string>{row.record}, LogCapture::instance().messages());
    }
}
#endif
