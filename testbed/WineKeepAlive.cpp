// Keeps a Wine prefix's desktop and its daemons alive for the length of a test
// run. Started by the test harness before the tests with every descriptor on
// /dev/null, so that the daemons that COM and window calls bring up never
// inherit a pipe of the test runner; it ends when the harness stops the
// prefix's wineserver.
//   WineKeepAlive.exe [ready file]
// The ready file is created once the desktop is up, so that the harness can
// wait for it before the first test starts.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    // Touching the desktop makes Wine start it (and its explorer) now.
    GetDesktopWindow();
    if (commandLine != nullptr && commandLine[0] != '\0') {
        HANDLE ready = CreateFileA(commandLine, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready != INVALID_HANDLE_VALUE)
            CloseHandle(ready);
    }
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
