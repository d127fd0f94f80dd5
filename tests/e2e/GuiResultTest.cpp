// The "-GUI" result box on a real display, seen from the Windows side as a
// user would meet it: it appears only on success, says what the console line
// would have said, holds the agent until it is closed, and leaves standard
// output empty. Under Wine the harness provides the display (Xvfb).
#ifdef _WIN32
#include "support/AgentRun.h"

#include "windows/WinHandle.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {
const wchar_t kCaption[] = L"Add VSS Checkpoint Status";
const wchar_t kText[] = L"The VSS checkpoint request has been initiated.";
// The control id a message box gives its text.
const int kMessageTextId = 0xFFFF;
const DWORD kPollMs = 20;
// Long enough that an agent which did not wait for the box would have ended:
// its last wait (the runner's read, 300 ms in the tweaks) is shorter.
const DWORD kHoldOpenMs = 800;
// Closing the box leaves the agent only that last wait. Wine's X11 driver,
// when it treats the box as a window-manager window, returns two seconds late.
const ULONGLONG kEndAfterCloseMs = 1500;

// From the screen rather than from the window: what the display shows, which
// is also the only source that holds another process's pixels under Wine
// (PrintWindow across processes yields black). A BMP file's bytes: 24-bit
// rows, bottom row first, each padded to four bytes.
std::string screenshotBmp(const RECT& area, size_t& colours) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t(3);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    void* bits = nullptr;
    std::unique_ptr<HDC__, void (*)(HDC)> screen(GetDC(nullptr), [](HDC dc) { ReleaseDC(nullptr, dc); });
    // The bitmap outlives the memory DC it is selected into.
    std::unique_ptr<HBITMAP__, BOOL(WINAPI*)(HGDIOBJ)> bitmap(
        CreateDIBSection(screen.get(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr,
                         0),
        &DeleteObject);
    std::unique_ptr<HDC__, BOOL(WINAPI*)(HDC)> memory(CreateCompatibleDC(screen.get()), &DeleteDC);
    if (width <= 0 || height <= 0 || !bitmap || !memory || !SelectObject(memory.get(), bitmap.get()) ||
        !BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top, SRCCOPY))
        return std::string();
    GdiFlush();
    std::string pixels(static_cast<const char*>(bits), stride * height);
    std::set<unsigned> seen;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char* p =
                reinterpret_cast<const unsigned char*>(pixels.data()) + stride * y + x * 3;
            seen.insert(p[0] | p[1] << 8 | p[2] << 16);
        }
    colours = seen.size();
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    return std::string(reinterpret_cast<const char*>(&file), sizeof(file)) +
           std::string(reinterpret_cast<const char*>(&info), sizeof(info)) + pixels;
}

// A test run's artefact, beside the build's bin folder.
std::filesystem::path artefact(const wchar_t* name) {
    return (std::filesystem::path(ChildProcess::currentExecutableFolder()) / L".." / L"artifacts" / name)
        .lexically_normal();
}

std::wstring textOf(HWND window, int controlId) {
    wchar_t text[512] = {};
    GetDlgItemTextW(window, controlId, text, static_cast<int>(sizeof(text) / sizeof(text[0])));
    return text;
}

std::wstring captionOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, static_cast<int>(sizeof(text) / sizeof(text[0])));
    return text;
}

bool running(HANDLE process) {
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// The agent's box, polled for until it appears, the agent ends, or the time
// is up. A box of any other process does not count.
HWND waitForBox(HANDLE agent, DWORD agentId, DWORD timeoutMs) {
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < timeoutMs;) {
        for (HWND window = FindWindowW(nullptr, kCaption); window != nullptr;
             window = FindWindowExW(nullptr, window, nullptr, kCaption)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == agentId && IsWindowVisible(window))
                return window;
        }
        if (!running(agent))
            return nullptr;
        Sleep(kPollMs);
    }
    return nullptr;
}

class GuiResult : public AgentRunTest {
protected:
    // An agent still held by its box is ended before the base class looks
    // for leftovers.
    void TearDown() override {
        if (m_agent)
            m_agent->finish(0);
        AgentRunTest::TearDown();
    }

    // The agent in the background, with a handle of our own to watch it by.
    void startAgent(const Args& args) {
        m_agent.reset(new BackgroundChild(program(L"OrvelVssAgent.exe"), args, agentOptions()));
        ASSERT_TRUE(m_agent->started()) << "CreateProcessW error " << m_agent->error();
        m_process.reset(OpenProcess(SYNCHRONIZE, FALSE, m_agent->processId()));
        ASSERT_TRUE(m_process.valid()) << GetLastError();
    }

    std::unique_ptr<BackgroundChild> m_agent;
    WinHandle m_process;
};

TEST_F(GuiResult, SuccessShowsTheBoxAndWaitsUntilItIsClosed) {
    Server server(m_dir, "server");
    tweaks();
    ULONGLONG start = GetTickCount64();
    startAgent({L"-GUI", L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"});
    char display[256] = {};
    GetEnvironmentVariableA("DISPLAY", display, sizeof(display));
    HWND box = waitForBox(m_process.get(), m_agent->processId(), 20000);
    ASSERT_NE(nullptr, box) << "no box; under Wine the harness's X display is needed (DISPLAY=" << display
                            << "), agent output: " << m_agent->finish(0).output;
    ULONGLONG shown = GetTickCount64();

    EXPECT_EQ(kCaption, captionOf(box));
    EXPECT_EQ(kText, textOf(box, kMessageTextId));
    // Type 0: a lone OK button.
    EXPECT_NE(nullptr, GetDlgItem(box, IDOK));
    EXPECT_EQ(nullptr, GetDlgItem(box, IDCANCEL));
    // The checkpoint was taken before the box was shown, not after it closed.
    EXPECT_EQ("ping,checkpoint", server.kinds());

    // Answers once the box's own message loop runs, i.e. once it is up and
    // about to paint.
    DWORD_PTR ignored = 0;
    EXPECT_NE(0, SendMessageTimeoutW(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored));
    Sleep(kHoldOpenMs);
    EXPECT_TRUE(running(m_process.get())) << "the agent ended while its box was open";
    EXPECT_TRUE(IsWindow(box));

    RECT area = {};
    ASSERT_TRUE(GetWindowRect(box, &area));
    size_t colours = 0;
    std::string bmp = screenshotBmp(area, colours);
    ASSERT_FALSE(bmp.empty()) << GetLastError();
    // One colour would mean nothing reached the display.
    EXPECT_LE(3u, colours);
    std::filesystem::path saved = artefact(L"gui-result.bmp");
    TempWorkingDir::writeFile(saved.string(), bmp);
    std::cout << "[artefact] " << saved.string() << std::endl;

    ASSERT_NE(0, PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                              reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK))));
    ULONGLONG closed = GetTickCount64();
    ChildResult result = m_agent->finish(10000);
    ULONGLONG ended = GetTickCount64();
    EXPECT_FALSE(result.timedOut);
    EXPECT_GT(kEndAfterCloseMs, ended - closed);
    EXPECT_EQ(0, result.exitCodeSigned());
    EXPECT_EQ("", result.output);
    EXPECT_FALSE(IsWindow(box));
    std::vector<LogRecord> log = currentRun();
    expectInOrder(log, {"notifySnapshotCompleteSuccess", "OrvelVssAgent.exe done. ret=0 "});
    std::cout << "[timing] box shown " << (shown - start) << " ms after start; agent ended "
              << (ended - closed) << " ms after the box was closed" << std::endl;
}

// A failed run reports through the exit code alone; a box would stop an
// unattended caller.
TEST_F(GuiResult, FailureShowsNoBox) {
    tweaks();
    startAgent({L"-GUI", L"localhost", L"1", L"127.0.0.1", L"1", L"abc"});
    EXPECT_EQ(nullptr, waitForBox(m_process.get(), m_agent->processId(), 20000));
    EXPECT_FALSE(running(m_process.get()));
    ChildResult result = m_agent->finish(10000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(-1002, result.exitCodeSigned());
    EXPECT_EQ("", result.output);
    EXPECT_NE(nullptr, findRecord(currentRun(), "No connection either to local or peer. doing nothing"));
}
} // namespace
#endif
