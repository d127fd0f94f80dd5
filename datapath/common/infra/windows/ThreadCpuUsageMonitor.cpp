#include "../ThreadCpuUsageMonitor.h"

#include "../Log.h"
#include "WinHandle.h"

i64 ThreadCpuUsageMonitor::update() {
    WinHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, m_threadId));
    if (!thread.valid()) {
        m_gone = true;
        LOG(LogError) << "failed opening thread" << std::endl;
        return 0;
    }
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(thread.get(), &creation, &exit, &kernel, &user)) {
        LOG(LogError) << "failed getting thread times" << std::endl;
        return 0;
    }
    i64 now = static_cast<i64>((static_cast<u64>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
    i64 prev = m_lastUserTime;
    m_lastUserTime = now;
    return prev < 0 ? 0 : now - prev;
}
