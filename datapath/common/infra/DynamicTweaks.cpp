#include "DynamicTweaks.h"

#include "Tweaks.h"

DynamicTweaks::DynamicTweaks() {
    refresh(*Tweaks::instance());
}

void DynamicTweaks::refresh(Tweaks& tweaks) {
    t_disableLogMemoryAllocationTracking = tweaks.boolVal("t_disableLogMemoryAllocationTracking", false);
    t_ActiveObjectVerboseLogs = tweaks.boolVal("t_ActiveObjectVerboseLogs", false);
    t_defaultDlcTimeoutSec = tweaks.uintVal("t_defaultDlcTimeoutSec", 900u);
    t_deadlockCheckerIntervalSec = tweaks.uintVal("t_deadlockCheckerIntervalSec", 60u);
    t_disableBtPrint = tweaks.boolVal("t_disableBtPrint", false);
}
