// The "-GUI" result box on a real display (under Wine, the harness's Xvfb),
// met as a user would: it appears only on success, says what the console line
// would have said, holds the agent until it is closed, and leaves standard
// output empty. A screenshot of it is kept as artifacts/gui-result.bmp.
#ifdef _WIN32
#include "support/AgentRun.h"

#include <windows.h>

#include <filesystem>
#include <memory>
#include <set>
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

// What the display shows in `area` (under Wine the only source of another
// process's pixels: PrintWindow across processes yields black), as a 32-bit
// top-down BMP file; `colours` counts its distinct colours.
std::string screenshotBmp(const RECT& area, size_t& colours) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFOHEADER info = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
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
    const DWORD* pixels = static_cast<const DWORD*>(bits);
    const size_t count = static_cast<size_t>(width) * height;
    colours = std::set<DWORD>(pixels, pixels + count).size();
    const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    BITMAPFILEHEADER file = {0x4D42 /* "BM" */, static_cast<DWORD>(offset + count * 4), 0, 0, offset};
    return std::string(reinterpret_cast<const char*>(&file), sizeof(file)) +
           std::string(reinterpret_cast<const char*>(&info), sizeof(info)) +
           std::string(static_cast<const char*>(bits), count * 4);
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
    RECT area = {};
    ASSERT_TRUE(GetWindowRect(box, &area));
    size_t colours = 0;
    const std::string bmp = screenshotBmp(area, colours);
    EXPECT_LE(3u, colours) << "nothing of the box reached the display";
    const std::filesystem::path saved =
        (std::filesystem::path(program(L"")) / L".." / L"artifacts" / L"gui-result.bmp").lexically_normal();
    TempWorkingDir::writeFile(saved.string(), bmp);

    // Closing it leaves the agent only that last wait (Wine's X11 driver,
    // when it treats the box as a window-manager window, closes it 2 s late).
    ASSERT_NE(0, PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                              reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK))));
    const ULONGLONG closed = GetTickCount64();
    ChildResult result = agent.finish(10000);
    EXPECT_GT(1500u, GetTickCount64() - closed);
    EXPECT_EQ(0, result.exitCodeSigned());
    EXPECT_EQ("", result.output);
}

} // namespace
#endif
