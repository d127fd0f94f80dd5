// What a whole run cannot reach: COM already initialised on the requester's
// thread. Every call of the backup sequence, failing or not, is exercised end
// to end against the shadow-copy stand-in.
#ifdef _WIN32
#include "VssRequester/VssRequester.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {
struct CountingRequester : VssRequester {
    int created = 0;
    HRESULT createBackupComponents(IVssBackupComponents**) override { return ++created, E_FAIL; }
};

// S_FALSE counts as a failure: the session does not run, and its own
// initialisation is undone all the same.
TEST(VssRequester, ComAlreadyInitialisedOnTheThreadFails) {
    LogCapture::instance().clear();
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    CountingRequester requester;
    ArgsRequester args;
    EXPECT_EQ(S_FALSE, requester.DoSnapshot(&args));
    CoUninitialize();
    // The thread's COM is back where it was before the requester ran.
    EXPECT_EQ(S_OK, CoInitialize(nullptr));
    CoUninitialize();
    EXPECT_EQ(0, requester.created);
    EXPECT_TRUE(LogCapture::instance().hasMessage("CoInitialize failed with error code 1"));
    EXPECT_FALSE(LogCapture::instance().hasMessage("Releasing backup components"));
}
} // namespace
#endif
