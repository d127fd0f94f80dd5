// The "-GUI" result box on a real display (under Wine, the harness's Xvfb),
// met as a user would: it appears only on success, says what the console line
// would have said, holds the agent until it is closed, and leaves standard
// output empty.
#ifdef _WIN32
#include "support/AgentRun.h"

#include <windows.h>

#include <string>

namespace {
const wchar_t kCaption[] = L"Add VSS Checkpoint Status";

// The agent's visible box, or nullptr once the agent has ended or after 20 s.
HWND waitForBox(const BackgroundChild& agent) {
    for (int polls = 0; polls < 1000 && agent.running(); ++polls, Sleep(20))
        for (HWND box = FindWindowW(nullptr, kCaption); box != nullptr;
             box = FindWindowExW(nullptr, box, nullptr, kCaption)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (owner == agent.processId() && IsWindowVisible(box))
                return box;
        }
    return nullptr;
}

// An agent still held by its box is ended with the test's body, before the
// fixture looks for leftovers.
typedef AgentRunTest GuiResult;

TEST_F(GuiResult, SuccessShowsTheBoxAndWaitsUntilItIsClosed) {
    Server server(m_dir, "server");
    tweaks();
    Args args = localServer(server.port());
    args.insert(args.begin(), L"-GUI");
    BackgroundChild agent(program(L"OrvelVssAgent.exe"), args, agentOptions());
    HWND box = waitForBox(agent);
    ASSERT_NE(nullptr, box) << "no box (under Wine the harness's X display is needed); agent output: "
                            << agent.finish(0).output;
    wchar_t caption[64] = {}, text[128] = {};
    GetWindowTextW(box, caption, 64);
    GetDlgItemTextW(box, 0xFFFF /* a message box's text */, text, 128);
    EXPECT_STREQ(kCaption, caption);
    EXPECT_STREQ(L"The VSS checkpoint request has been initiated.", text);
    EXPECT_NE(nullptr, GetDlgItem(box, IDOK)); // alone
    EXPECT_EQ(nullptr, GetDlgItem(box, IDCANCEL));
    // The checkpoint was taken before the box was shown, not after it closed.
    EXPECT_EQ("ping,checkpoint", server.kinds());

    // Once its message loop answers, the box is up and about to paint; the
    // agent still waits for it after longer than its last wait (the runner's
    // read, 300 ms in the tweaks).
    DWORD_PTR ignored = 0;
    EXPECT_NE(0, SendMessageTimeoutW(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored));
    Sleep(800);
    EXPECT_TRUE(agent.running()) << "the agent ended while its box was open";

    // Closing it leaves the agent only that last wait: it ends well inside
    // the bound, which its default read wait (80 s) would not.
    ASSERT_NE(0, PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                              reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK))));
    ChildResult result = agent.finish(10000);
    EXPECT_EQ(0, result.exitCodeSigned());
    EXPECT_EQ("", result.output);
}

} // namespace
#endif
