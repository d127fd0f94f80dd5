#pragma once
// Stands in for the VSS requester: plays the provider's side of the freeze
// handshake with the snapshot flow (quiesced at once, then a bounded wait for
// the thaw) without touching any volume. Always succeeds, so a simulated run
// never looks like a requester failure.
#include "VssRequester/IVssRequester.h"

class VssRequesterSimulator : public IVssRequester {
public:
    // The arguments are not read.
    i32 DoSnapshot(ArgsRequester* args) override;
};
