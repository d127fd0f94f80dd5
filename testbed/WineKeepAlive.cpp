// Keeps a Wine prefix's desktop and its daemons alive for the length of a test
// run. Started by the test harness before the tests with every descriptor on
// /dev/null, so that the daemons that COM and window calls bring up never
// inherit a pipe of the test runner; it ends when the harness stops the
// prefix's wineserver.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Touching the desktop makes Wine start it (and its explorer) now.
    GetDesktopWindow();
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
