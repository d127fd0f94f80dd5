#pragma once
// The snapshot flow's requester: one call runs one whole VSS backup session.
#include "Types.h"
#include "VssRequester/ArgsRequester.h"

class IVssRequester {
public:
    virtual ~IVssRequester() = default;
    // 0 on success, else an error code. Blocks while the provider holds the
    // writers frozen. The flow releases its own wait when this fails, so a
    // requester that fails before the freeze need not play the provider.
    virtual i32 DoSnapshot(ArgsRequester* args) = 0;
};
