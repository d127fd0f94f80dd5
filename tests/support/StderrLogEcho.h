#pragma once
// Gtest death tests look on standard error for the text a process wrote
// before it ended. Call these inside the death test's statement, so that only
// the child is changed (the Logger takes at most four clients per process).
#include "Os.h"

// Copies every log record to standard error.
void echoLogToStderr();
// Sends standard output to standard error.
void stdoutToStderr();

// The statement runs in a child that echoes its log; it must end with the fail-fast status.
#define EXPECT_FAILFAST(statement, matcher)                                                                  \
    EXPECT_EXIT((echoLogToStderr(), statement), ::testing::ExitedWithCode(Os::kFailFastExitCode), matcher)
