#pragma once
// Copies every log record to standard error, where gtest death tests look
// for the text a process wrote before it ended. Call it inside the death
// test's statement so that only the child registers the client (the Logger
// takes at most four clients per process).
void echoLogToStderr();
