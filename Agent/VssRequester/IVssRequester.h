#pragma once
// The snapshot flow's requester: one call runs one whole VSS backup session.
#include "Types.h"
#include "VssRequester/ArgsRequester.h"

class IVssRequester {
public:
    virtual ~IVssRequester() = default;
    // 0 on success, else an error code. Blocks while the provider holds the
    // writers frozen. A requester that fails before the freeze must set the
    // provider's quiesced event itself, so that the flow does not wait for
    // its full time-out.
    virtual i32 DoSnapshot(ArgsRequester* args) = 0;
};
