#include "DynamicTweaks.h"

#include "Tweaks.h"

DynamicTweaks::DynamicTweaks() {
    refresh(*Tweaks::instance());
}

void DynamicTweaks::refresh(Tweaks& tweaks) {
    t_disableLogMemoryAllocationTracking = tweaks.boolVal("t_disableLogMemoryAllocationTracking", false);
}
