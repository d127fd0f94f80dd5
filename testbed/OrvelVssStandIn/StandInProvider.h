#pragma once
// The companion provider's part in committing a snapshot set, as the agent
// meets it through the two named events: set "Global\OrvelVssQuiescedEvent"
// once the writers are frozen, then hold them until
// "Global\OrvelVssThawEvent" is set or its own bounded wait gives up.
#include "StandInConfig.h"

#include <windows.h>

// Runs on the DoSnapshotSet operation's thread and returns the operation's
// outcome: VSS_S_ASYNC_FINISHED, or VSS_E_PROVIDER_VETO when the writers
// could not be frozen or the thaw did not come in time. Records the freeze
// window and what the registry held during it.
HRESULT playProviderCommit(const StandInConfig& config, unsigned session);
