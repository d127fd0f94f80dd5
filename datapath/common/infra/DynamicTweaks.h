#pragma once
// Typed copies of tweaks for code that reads them often, without the tweak
// store's lock. The process's tweak store rebuilds them after every change it
// accepts once loaded; each field keeps its default when no tweak sets it.
// Fields that long-lived threads read are atomic, so that a change made while
// they run is seen without a data race.
#include "Singleton.h"
#include "Types.h"

#include <atomic>

class Tweaks;

class DynamicTweaks : public Singleton<DynamicTweaks> {
public:
    bool t_disableLogMemoryAllocationTracking = false;
    std::atomic<bool> t_ActiveObjectVerboseLogs{false};
    std::atomic<u32> t_defaultDlcTimeoutSec{900};
    std::atomic<u32> t_deadlockCheckerIntervalSec{60};
    std::atomic<bool> t_disableBtPrint{false};

    // Reads every field again from `tweaks`.
    void refresh(Tweaks& tweaks);

private:
    friend class Singleton<DynamicTweaks>;
    DynamicTweaks();
};
