// OrvelVssProviderService.exe: the companion provider's Windows service
// "OrvelVssProvider" as the agent's service start sees it, with the pace of
// its start and stop under a test's control. It plays the service side only:
// it neither creates nor waits on the provider's events.
//
// Control side (each returns at once, bounded):
//   --install [--disabled] [service options]  (re)creates the service, demand start (disabled
//                                             with --disabled); its binary path is this program
//                                             with --service and the options
//   --uninstall    stops it (bounded wait, then ends its process) and deletes it; quiet if absent
//   --start        StartServiceW, returns without waiting for it to run
//   --stop         sends the stop control, returns once it was accepted
//   --query        prints the current state number (1 stopped ... 4 running)
// Exit code: 0, the Win32 error of the call that failed, or 87 for a bad command line.
//
// Service side (--service, run by the service control manager):
//   --start-pending-ms N      START_PENDING for N ms (default 0), then RUNNING
//   --checkpoint-every-ms M   check point grows every M ms while pending (default 500)
//   --wait-hint-ms H          wait hint reported while pending (default 2000)
//   --stop-pending-ms N       STOP_PENDING for N ms after a stop request (default 0), then STOPPED
//   --stall-start             START_PENDING with check point 1 for good (until stopped or its lifetime)
//   --lifetime-s N            stops by itself N s after it was started (default 600)
#include "TestbedCommon.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {
const wchar_t kServiceName[] = L"OrvelVssProvider";
const wchar_t kDisplayName[] = L"Orvel VSS Provider (test stand-in)";
const DWORD kUsageError = ERROR_INVALID_PARAMETER;
// How long --uninstall waits for a stop before it ends the service's process,
// and for a deletion to complete before it gives up.
const DWORD kStopWaitMs = 30000;
const DWORD kPollMs = 50;

const char kHelp[] =
    "Usage: OrvelVssProviderService.exe COMMAND [options]\n"
    "Stand-in of the provider's Windows service \"OrvelVssProvider\" (service side only).\n"
    "\n"
    "Commands:\n"
    "  --install [--disabled] [service options]\n"
    "               create the service (an existing one is removed first), demand start, or\n"
    "               disabled with --disabled; it runs this program with --service and the options\n"
    "  --uninstall  stop the service (up to 30 s, then its process is ended) and delete it;\n"
    "               succeeds when it does not exist\n"
    "  --start      ask the service control manager to start it; does not wait for RUNNING\n"
    "  --stop       send the stop control; returns once it was accepted (the service then reports\n"
    "               STOP_PENDING for --stop-pending-ms)\n"
    "  --query      print the current state: 1 stopped, 2 start pending, 3 stop pending, 4 running\n"
    "  --service [service options]   run as the service (started by the service control manager)\n"
    "\n"
    "Service options:\n"
    "  --start-pending-ms N     report START_PENDING for N ms, then RUNNING (default 0)\n"
    "  --checkpoint-every-ms M  while pending, the check point grows every M ms (default 500)\n"
    "  --wait-hint-ms H         wait hint while pending (default 2000)\n"
    "  --stop-pending-ms N      on a stop request report STOP_PENDING for N ms, then STOPPED (default 0)\n"
    "  --stall-start            stay START_PENDING, check point 1 for good: a waiter gives up after\n"
    "                           the wait hint\n"
    "  --lifetime-s N           stop by itself N s after being started (default 600)\n"
    "\n"
    "Exit code: 0; the Win32 error of the call that failed (1060: no such service, 1058: disabled,\n"
    "1062: not running); 87 for a bad command line.\n";

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static SC_HANDLE empty() { return nullptr; }
    static bool valid(SC_HANDLE h) { return h != nullptr; }
    static void release(SC_HANDLE h) { CloseServiceHandle(h); }
};
using ServiceHandle = Owned<ServiceHandleTraits>;

struct ServiceOptions {
    unsigned long startPendingMs = 0;
    unsigned long checkpointEveryMs = 500;
    unsigned long waitHintMs = 2000;
    unsigned long stopPendingMs = 0;
    bool stallStart = false;
    unsigned long lifetimeS = 600;

    // As written on the service's command line.
    std::wstring commandLine() const {
        std::wstring line = L" --start-pending-ms " + std::to_wstring(startPendingMs) +
                            L" --checkpoint-every-ms " + std::to_wstring(checkpointEveryMs) +
                            L" --wait-hint-ms " + std::to_wstring(waitHintMs) + L" --stop-pending-ms " +
                            std::to_wstring(stopPendingMs) + L" --lifetime-s " + std::to_wstring(lifetimeS);
        return stallStart ? line + L" --stall-start" : line;
    }
};

// Reads the service options from argv[first...]; --disabled only when
// `disabled` is given (at install time).
bool parseServiceOptions(int argc, wchar_t** argv, int first, ServiceOptions& options, bool* disabled) {
    for (int i = first; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"--stall-start") {
            options.stallStart = true;
            continue;
        }
        if (name == L"--disabled" && disabled != nullptr) {
            *disabled = true;
            continue;
        }
        const wchar_t* value = i + 1 < argc ? argv[++i] : nullptr;
        const unsigned long kMaxMs = 0x7FFFFFFF;
        bool ok = false;
        if (name == L"--start-pending-ms")
            ok = parseNumber(value, options.startPendingMs, kMaxMs);
        else if (name == L"--checkpoint-every-ms")
            ok = parseNumber(value, options.checkpointEveryMs, kMaxMs) && options.checkpointEveryMs > 0;
        else if (name == L"--wait-hint-ms")
            ok = parseNumber(value, options.waitHintMs, kMaxMs);
        else if (name == L"--stop-pending-ms")
            ok = parseNumber(value, options.stopPendingMs, kMaxMs);
        else if (name == L"--lifetime-s")
            ok = parseNumber(value, options.lifetimeS, kMaxMs / 1000);
        if (!ok)
            return false;
    }
    return true;
}

// ---- Service side ----

class RunningService {
public:
    explicit RunningService(const ServiceOptions& options) : m_options(options) {}

    bool registerHandler() {
        m_stopRequested.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_status = {};
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        m_handle = RegisterServiceCtrlHandlerExW(kServiceName, &RunningService::handler, this);
        return m_handle != nullptr && m_stopRequested.valid();
    }

    void run() {
        const ULONGLONG end = GetTickCount64() + m_options.lifetimeS * 1000ull;
        bool stopped = false;
        if (m_options.stallStart) {
            report(SERVICE_START_PENDING, 1, m_options.waitHintMs);
            stopped = waitForStop(remaining(end));
        } else {
            stopped = pending(SERVICE_START_PENDING, m_options.startPendingMs, true);
        }
        if (!stopped) {
            report(SERVICE_RUNNING, 0, 0);
            waitForStop(remaining(end));
        }
        pending(SERVICE_STOP_PENDING, m_options.stopPendingMs, false);
        report(SERVICE_STOPPED, 0, 0);
    }

private:
    static DWORD remaining(ULONGLONG end) {
        ULONGLONG now = GetTickCount64();
        return now >= end ? 0 : static_cast<DWORD>(end - now);
    }

    bool waitForStop(DWORD ms) { return WaitForSingleObject(m_stopRequested.get(), ms) == WAIT_OBJECT_0; }

    // Reports `state` with a growing check point for `ms`. A start may be cut
    // short by a stop request (returns true then); a stop runs its course.
    bool pending(DWORD state, DWORD ms, bool stoppable) {
        const ULONGLONG end = GetTickCount64() + ms;
        for (DWORD checkPoint = 1; GetTickCount64() < end; ++checkPoint) {
            report(state, checkPoint, m_options.waitHintMs);
            DWORD every = m_options.checkpointEveryMs;
            DWORD slice = every < remaining(end) ? every : remaining(end);
            if (!stoppable)
                Sleep(slice);
            else if (waitForStop(slice))
                return true;
        }
        return stoppable && waitForStop(0);
    }

    // The stop control is answered with STOP_PENDING before the handler
    // returns, so that whoever sent it sees the service stop-pending at once.
    static DWORD WINAPI handler(DWORD control, DWORD, void*, void* context) {
        auto* self = static_cast<RunningService*>(context);
        if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
            self->report(SERVICE_STOP_PENDING, 1, self->m_options.waitHintMs);
            SetEvent(self->m_stopRequested.get());
            return NO_ERROR;
        }
        return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
    }

    void report(DWORD state, DWORD checkPoint, DWORD waitHint) {
        std::lock_guard<std::mutex> lock(m_lock);
        // Once stopping, a late start-pending report must not undo it.
        if (m_status.dwCurrentState == SERVICE_STOP_PENDING && state != SERVICE_STOP_PENDING &&
            state != SERVICE_STOPPED)
            return;
        m_status.dwCurrentState = state;
        m_status.dwCheckPoint = checkPoint;
        m_status.dwWaitHint = waitHint;
        m_status.dwControlsAccepted = state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED
                                          ? 0
                                          : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        SetServiceStatus(m_handle, &m_status);
    }

    const ServiceOptions m_options;
    std::mutex m_lock;
    SERVICE_STATUS m_status = {};
    SERVICE_STATUS_HANDLE m_handle = nullptr; // not closed: it belongs to the control manager
    Handle m_stopRequested;
};

ServiceOptions g_serviceOptions;

void WINAPI serviceMain(DWORD, LPWSTR*) {
    RunningService service(g_serviceOptions);
    if (service.registerHandler())
        service.run();
}

int runAsService() {
    wchar_t name[sizeof(kServiceName) / sizeof(kServiceName[0])];
    std::wcscpy(name, kServiceName);
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}

// ---- Control side ----

int failed(const char* call) {
    DWORD error = GetLastError();
    std::fprintf(stderr, "OrvelVssProviderService: %s failed with error %lu\n", call, error);
    return static_cast<int>(error);
}

bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed) != 0;
}

// Returns 0, or the error of the call that failed; a missing service is not a failure.
int uninstall(SC_HANDLE manager) {
    ServiceHandle service(OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS));
    if (!service.valid())
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : failed("OpenServiceW");
    SERVICE_STATUS_PROCESS status = {};
    if (!queryStatus(service.get(), status))
        return failed("QueryServiceStatusEx");
    if (status.dwCurrentState != SERVICE_STOPPED) {
        // A service reports itself stopped a little before its process has
        // gone; the next install must not overlap with that process.
        Handle running(status.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId)
                                               : nullptr);
        SERVICE_STATUS ignored;
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
            const ULONGLONG end = GetTickCount64() + kStopWaitMs;
            while (queryStatus(service.get(), status) && status.dwCurrentState != SERVICE_STOPPED &&
                   GetTickCount64() < end)
                Sleep(kPollMs);
        } else {
            queryStatus(service.get(), status);
        }
        // A service that does not take the stop (Windows refuses it while
        // the service is start pending) or does not finish it is ended: it
        // must not outlive the test that installed it.
        if (status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId != 0) {
            Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
            if (process.valid() && TerminateProcess(process.get(), 1))
                WaitForSingleObject(process.get(), kStopWaitMs);
        }
        if (running.valid())
            WaitForSingleObject(running.get(), kStopWaitMs);
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return failed("DeleteService");
    return 0;
}

int install(SC_HANDLE manager, const ServiceOptions& options, bool disabled) {
    if (int error = uninstall(manager))
        return error;
    const std::wstring binaryPath =
        quotedArgument(ownExecutablePath()) + L" --service" + options.commandLine();
    // A deleted service lingers while someone still holds a handle to it.
    const ULONGLONG end = GetTickCount64() + kStopWaitMs;
    for (;;) {
        ServiceHandle service(
            CreateServiceW(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           disabled ? SERVICE_DISABLED : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        if (service.valid())
            return 0;
        if (GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE || GetTickCount64() >= end)
            return failed("CreateServiceW");
        Sleep(kPollMs);
    }
}

int control(const std::wstring& command, int argc, wchar_t** argv) {
    ServiceOptions options;
    bool disabled = false;
    if (command != L"--install" && argc > 2)
        return static_cast<int>(kUsageError);
    if (command == L"--install" && !parseServiceOptions(argc, argv, 2, options, &disabled))
        return static_cast<int>(kUsageError);
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.valid())
        return failed("OpenSCManagerW");
    if (command == L"--install")
        return install(manager.get(), options, disabled);
    if (command == L"--uninstall")
        return uninstall(manager.get());
    ServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service.valid())
        return failed("OpenServiceW");
    if (command == L"--start")
        return StartServiceW(service.get(), 0, nullptr) ? 0 : failed("StartServiceW");
    if (command == L"--stop") {
        SERVICE_STATUS status;
        return ControlService(service.get(), SERVICE_CONTROL_STOP, &status) ? 0 : failed("ControlService");
    }
    SERVICE_STATUS_PROCESS status = {};
    if (!queryStatus(service.get(), status))
        return failed("QueryServiceStatusEx");
    std::printf("%lu\n", status.dwCurrentState);
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"--help" || command == L"/?") {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (command == L"--service")
        return parseServiceOptions(argc, argv, 2, g_serviceOptions, nullptr) ? runAsService()
                                                                             : static_cast<int>(kUsageError);
    if (command == L"--install" || command == L"--uninstall" || command == L"--start" ||
        command == L"--stop" || command == L"--query")
        return control(command, argc, argv);
    std::fputs("OrvelVssProviderService: expected a command (see --help)\n", stderr);
    return static_cast<int>(kUsageError);
}
