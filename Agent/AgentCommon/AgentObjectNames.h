#pragma once
// The names of the kernel objects the agent shares with the provider and the
// runner. They are the contract with those processes: one spelling here,
// used by every agent file that opens one of them.
class AgentObjectNames {
public:
    // One snapshot flow at a time on the machine.
    static constexpr const char* kVssMutex = "Global\\OrvelVssMutex";
    // Set by the provider when the writers are frozen.
    static constexpr const char* kQuiescedEvent = "Global\\OrvelVssQuiescedEvent";
    // Set by the agent to let the provider thaw the writers.
    static constexpr const char* kThawEvent = "Global\\OrvelVssThawEvent";
    // The runner's handshake.
    static constexpr const char* kRunnerFreezeCompleteEvent = "Global\\OrvelRunnerEventFreezeComplete";
    static constexpr const char* kRunnerThawStartEvent = "Global\\OrvelRunnerEventThawStart";
    static constexpr const char* kRunnerThawCompleteEvent = "Global\\OrvelRunnerEventThawComplete";
    static constexpr const char* kReadNotificationEvent = "Global\\RequesterEventWaitForReadNotificationName";
    // The status the runner reads.
    static constexpr const wchar_t* kStatusSection = L"Global\\ProcessSharedMemory";
};
