#pragma once
// Typed copies of tweaks for code that reads them often: plain fields, read
// without a lock. The process's tweak store rebuilds them after every change
// it accepts once loaded; each field keeps its default when no tweak sets it.
// Changes happen during single-threaded start-up only.
#include "Singleton.h"

class Tweaks;

class DynamicTweaks : public Singleton<DynamicTweaks> {
public:
    bool t_disableLogMemoryAllocationTracking = false;

    // Reads every field again from `tweaks`.
    void refresh(Tweaks& tweaks);

private:
    friend class Singleton<DynamicTweaks>;
    DynamicTweaks();
};
