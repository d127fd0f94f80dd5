#pragma once
// One snapshot run, ordered against the requester and listener contracts.
#include "VssRequester/ArgsRequester.h"

class SnapshotFlow {
public:
    ArgsRequester m_argsRequester;
};
