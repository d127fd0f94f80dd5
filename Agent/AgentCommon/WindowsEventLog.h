#pragma once
// The Application event log through the registry and the event logging
// calls: the source "OrvelVssAgent", whose message file is the running
// executable (its message table holds every entry's text). Windows only.
#include "AgentCommon/IEventLog.h"
#include "windows/UniqueHandle.h"

#include <windows.h>

class WindowsEventLog : public IEventLog {
public:
    static constexpr const wchar_t* kSourceKey =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\OrvelVssAgent";

    u32 registerSource() override;
    // Opens the source on its first entry.
    u32 write(const RunEvent& event) override;

private:
    UniqueHandle<NullableHandleTraits<HANDLE, &DeregisterEventSource>> m_source;
};
