#pragma once
// The infrastructure's result code. Values are stable: they are logged and
// compared as numbers.
#include "Types.h"

enum RcStatus : i32 {
    RC_SUCCESS = 0,
    RC_ERROR = 1,
    RC_ABORTED = 3,
    // No file of a consistent file set exists.
    RC_NOT_FOUND = 5,
    RC_TIME_OUT = 15,
};
