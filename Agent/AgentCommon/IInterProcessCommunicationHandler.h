#pragma once
// One signed 32-bit status shared with another process.
#include "Types.h"

class IInterProcessCommunicationHandler {
public:
    virtual ~IInterProcessCommunicationHandler() = default;
    // 0 when there is nothing to read: the reader learns from the writer's
    // event when the value is valid.
    virtual i32 read() = 0;
    virtual void write(i32 status) = 0;
};
