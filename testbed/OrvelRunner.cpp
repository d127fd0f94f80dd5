// OrvelRunner.exe: the runner of the agent's externally initiated mode, as a
// test or a demo needs it. It owns the status section and the four runner
// events, starts the agent (or attaches to one), answers the freeze with a
// thaw-start when told to, keeps notifying that it has read the status until
// the agent has gone, and reports what it saw as one line:
//
//   RUNNER freeze_complete_ms=<n|-1> thaw_start_set_ms=<n|-1> thaw_complete_ms=<n|-1>
//          statuses=<v1,v2,...> final_status=<n> exit_code=<n|none|running|killed>
//          frozen_ms=<n|-1> exit_ms=<n|-1> hold_us=<n|-1>
//
// (one line, single blanks between fields, ended by "\r\n"). Times are
// milliseconds since the agent was started (with --attach: since the runner
// was ready); -1 means not seen or not done. thaw_start_set_ms is 0 with
// --thaw early (set before the agent started). statuses lists, as signed
// decimals, the status read at freeze-complete, at thaw-complete, when the
// read notifications begin and at the end, successive duplicates folded;
// 2147483647 is the runner's own "never written" mark. exit_code is the
// agent's full 32-bit exit code as a signed decimal; none when no agent
// process is known (--attach without --agent-pid), running when an attached
// agent outlived the runner, killed when the agent the runner started had to
// be ended after the last bounded wait. frozen_ms is how long the runner held
// the writers: freeze-complete seen to thaw-start set (0 with --thaw early);
// when thaw-start was never set, freeze-complete to thaw-complete, the
// agent's exit or the end of the wait; -1 when no successful freeze was seen.
// exit_ms is when the agent's exit was seen. hold_us is the runner's own
// share of the freeze, in microseconds: freeze-complete seen to thaw-start
// set; -1 when it did not set thaw-start after a freeze.
//
// Exit code: 0 once the protocol was played, whatever the agent did; 2 for a
// usage error or when the objects or the agent could not be created/started.
#include "TestbedCommon.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
const char kFreezeCompleteEvent[] = "Global\\OrvelRunnerEventFreezeComplete";
const char kThawStartEvent[] = "Global\\OrvelRunnerEventThawStart";
const char kThawCompleteEvent[] = "Global\\OrvelRunnerEventThawComplete";
const char kReadNotificationEvent[] = "Global\\RequesterEventWaitForReadNotificationName";
const wchar_t kStatusSection[] = L"Global\\ProcessSharedMemory";
const DWORD kStatusSectionSize = 200;
// A status the agent never writes, so that "never written" can be told from 0.
const LONG kNeverWritten = 0x7FFFFFFF;
// The agent resets the read-notification event when its wait begins, so one
// early signal would be lost: the runner repeats it at this pace.
const DWORD kNotifyEveryMs = 10;
const UINT kKilledExitCode = 0xDEAD;
const DWORD kKillWaitMs = 5000;

const char kHelp[] =
    "Usage: OrvelRunner.exe [options] [-- agent arguments...]\n"
    "Plays the runner of the agent's externally initiated mode: creates the status section\n"
    "Global\\ProcessSharedMemory and the runner events, starts the agent, waits for freeze-complete,\n"
    "sets thaw-start, waits for thaw-complete, then sets the read notification every 10 ms until the\n"
    "agent has exited. The agent inherits the runner's standard handles: its own output comes first.\n"
    "\n"
    "Options:\n"
    "  --agent PATH       the agent to start (default: OrvelVssAgent.exe beside this program)\n"
    "  --cwd DIR          the agent's working directory (where it reads its tweak files)\n"
    "  --attach           start no agent; play the protocol with whichever agent runs (start the\n"
    "                     runner first: it resets the events and marks the status never written)\n"
    "  --agent-pid PID    with --attach: the agent's process (its exit ends the waits; its exit code\n"
    "                     is reported)\n"
    "  --timeout-ms N     bound of each wait: freeze-complete, thaw-complete, the agent's exit\n"
    "                     (default 30000)\n"
    "  --thaw-delay-ms N  set thaw-start N ms after freeze-complete (default 0)\n"
    "  --thaw MODE        after (default): after freeze-complete and the delay; never; early: before\n"
    "                     the agent is started (the auto-reset event stays set until it waits)\n"
    "  --no-read-notify   never set the read notification; only wait for the agent's exit\n"
    "  --notify-ms N      with --attach and no --agent-pid: how long to keep setting the read\n"
    "                     notification (default 2000)\n"
    "  -- ARGS...         the agent's arguments instead of the single -ExternallyInitiated\n"
    "\n"
    "A freeze-complete whose status is not 0 is an early failure: no thaw handshake follows.\n"
    "\n"
    "Output, one line (ms since the agent was started, -1: not seen):\n"
    "  RUNNER freeze_complete_ms=<n|-1> thaw_start_set_ms=<n|-1> thaw_complete_ms=<n|-1>\n"
    "  statuses=<v1,v2,...> final_status=<n> exit_code=<n|none|running|killed> frozen_ms=<n|-1>\n"
    "  exit_ms=<n|-1> hold_us=<n|-1>\n"
    "statuses: read at freeze-complete, thaw-complete, start of the notifications and the end,\n"
    "successive duplicates folded; 2147483647 = never written. exit_code: the agent's 32-bit exit\n"
    "code, signed; none without a known agent process; running: an attached agent still ran; killed:\n"
    "the agent started here outlived the last wait and was ended. frozen_ms: freeze-complete to\n"
    "thaw-start set (0 with --thaw early), or without thaw-start to thaw-complete, the agent's exit\n"
    "or the end of the wait; -1 without a successful freeze. exit_ms: when the agent's exit was seen.\n"
    "hold_us: freeze-complete seen to thaw-start set, in microseconds; -1 when not set after a freeze.\n"
    "\n"
    "Exit code: 0 when the protocol was played; 2 for a usage error or a failed start.\n";

enum class Thaw { AfterFreeze, Never, Early };

struct Options {
    std::wstring agent;
    std::wstring workingDirectory;
    std::vector<std::wstring> agentArguments{L"-ExternallyInitiated"};
    bool attach = false;
    unsigned long agentPid = 0;
    unsigned long timeoutMs = 30000;
    unsigned long thawDelayMs = 0;
    Thaw thaw = Thaw::AfterFreeze;
    bool readNotify = true;
    unsigned long notifyMs = 2000;
};

bool parseOptions(int argc, wchar_t** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"--") {
            options.agentArguments.assign(argv + i + 1, argv + argc);
            break;
        }
        if (name == L"--attach") {
            options.attach = true;
            continue;
        }
        if (name == L"--no-read-notify") {
            options.readNotify = false;
            continue;
        }
        const wchar_t* value = i + 1 < argc ? argv[++i] : nullptr;
        bool ok = true;
        if (value == nullptr)
            ok = false;
        else if (name == L"--agent")
            options.agent = value;
        else if (name == L"--cwd")
            options.workingDirectory = value;
        else if (name == L"--agent-pid")
            ok = parseNumber(value, options.agentPid) && options.agentPid != 0;
        else if (name == L"--timeout-ms")
            ok = parseNumber(value, options.timeoutMs, 0x7FFFFFFF);
        else if (name == L"--thaw-delay-ms")
            ok = parseNumber(value, options.thawDelayMs, 0x7FFFFFFF);
        else if (name == L"--notify-ms")
            ok = parseNumber(value, options.notifyMs, 0x7FFFFFFF);
        else if (name == L"--thaw") {
            const std::wstring mode = value;
            options.thaw = mode == L"never"   ? Thaw::Never
                           : mode == L"early" ? Thaw::Early
                                              : Thaw::AfterFreeze;
            ok = mode == L"never" || mode == L"early" || mode == L"after";
        } else {
            error = "unknown option";
            return false;
        }
        if (!ok) {
            error = "missing or bad value for an option";
            return false;
        }
    }
    if (options.agentPid != 0 && !options.attach) {
        error = "--agent-pid needs --attach";
        return false;
    }
    if (options.agent.empty()) {
        std::wstring self = ownExecutablePath();
        options.agent = self.substr(0, self.find_last_of(L"\\/") + 1) + L"OrvelVssAgent.exe";
    }
    return true;
}

// The section and the events, created with a present but empty (NULL)
// access list, so that the agent may open them whatever its account.
class RunnerObjects {
public:
    bool create() {
        SECURITY_DESCRIPTOR descriptor;
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
            return false;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
        m_section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                           kStatusSectionSize, kStatusSection));
        if (!m_section.valid())
            return false;
        m_view.reset(MapViewOfFile(m_section.get(), FILE_MAP_ALL_ACCESS, 0, 0, kStatusSectionSize));
        const char* names[] = {kFreezeCompleteEvent, kThawStartEvent, kThawCompleteEvent,
                               kReadNotificationEvent};
        for (int i = 0; i < 4; ++i) {
            m_events[i].reset(CreateEventA(&attributes, FALSE, FALSE, names[i]));
            // An event left set by an earlier run must not count for this one.
            if (!m_events[i].valid() || !ResetEvent(m_events[i].get()))
                return false;
        }
        return m_view.valid();
    }

    HANDLE freezeComplete() const { return m_events[0].get(); }
    HANDLE thawStart() const { return m_events[1].get(); }
    HANDLE thawComplete() const { return m_events[2].get(); }
    HANDLE readNotification() const { return m_events[3].get(); }

    LONG status() const { return *static_cast<volatile LONG*>(m_view.get()); }
    void setStatus(LONG value) { *static_cast<volatile LONG*>(m_view.get()) = value; }

private:
    Handle m_section;
    View m_view;
    Handle m_events[4];
};

// The agent's process, when one is known, and what the runner saw of it.
class Agent {
public:
    bool start(const Options& options) {
        std::wstring commandLine = quotedArgument(options.agent);
        for (const std::wstring& argument : options.agentArguments)
            commandLine += L" " + quotedArgument(argument);
        // Inheritable copies of the runner's standard handles, so that the
        // agent's output reaches whoever reads the runner's.
        Handle standard[3];
        const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        for (int i = 0; i < 3; ++i) {
            HANDLE copy = nullptr;
            HANDLE own = GetStdHandle(ids[i]);
            if (own != nullptr && own != INVALID_HANDLE_VALUE &&
                DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                                DUPLICATE_SAME_ACCESS))
                standard[i].reset(copy);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = standard[0].get();
        startup.hStdOutput = standard[1].get();
        startup.hStdError = standard[2].get();
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(options.agent.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                            options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                            &startup, &info))
            return false;
        CloseHandle(info.hThread);
        m_process.reset(info.hProcess);
        m_startedHere = true;
        return true;
    }
    bool attach(unsigned long pid) {
        m_process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        return m_process.valid();
    }

    bool known() const { return m_process.valid(); }
    HANDLE process() const { return m_process.get(); }
    bool exited() const { return m_exitMs >= 0; }
    long long exitMs() const { return m_exitMs; }
    void sawExit(long long ms) {
        if (m_exitMs < 0)
            m_exitMs = ms;
    }

    // Ends an agent started here that outlived the runner's last wait.
    std::string exitCodeText() {
        if (!known())
            return "none";
        if (!exited() && WaitForSingleObject(m_process.get(), 0) != WAIT_OBJECT_0) {
            if (!m_startedHere)
                return "running";
            TerminateProcess(m_process.get(), kKilledExitCode);
            WaitForSingleObject(m_process.get(), kKillWaitMs);
            return "killed";
        }
        DWORD code = 0;
        GetExitCodeProcess(m_process.get(), &code);
        return std::to_string(static_cast<int>(code));
    }

private:
    Handle m_process;
    bool m_startedHere = false;
    long long m_exitMs = -1;
};

class Clock {
public:
    void start() { m_start = std::chrono::steady_clock::now(); }
    long long us() const {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                     m_start)
            .count();
    }
    long long ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     m_start)
            .count();
    }

private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

enum class Seen { Event, AgentExit, Nothing };

// Waits for `event` (may be null: then only for the agent) or the agent's
// exit, whichever comes first, at most `ms`. The event is listed first, so an
// agent that set it and ended at once still counts as having set it.
Seen waitFor(HANDLE event, Agent& agent, DWORD ms, const Clock& clock) {
    HANDLE handles[2];
    DWORD count = 0;
    if (event != nullptr)
        handles[count++] = event;
    if (agent.known())
        handles[count++] = agent.process();
    if (count == 0) {
        Sleep(ms);
        return Seen::Nothing;
    }
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, ms);
    if (result == WAIT_OBJECT_0 && event != nullptr)
        return Seen::Event;
    if (result == WAIT_OBJECT_0 + count - 1 && agent.known()) {
        agent.sawExit(clock.ms());
        return Seen::AgentExit;
    }
    return Seen::Nothing;
}

int runProtocol(const Options& options) {
    RunnerObjects objects;
    if (!objects.create()) {
        std::fprintf(stderr, "OrvelRunner: cannot create the status section or the events: error %lu\n",
                     GetLastError());
        return 2;
    }
    objects.setStatus(kNeverWritten);
    std::vector<LONG> statuses;
    auto readStatus = [&] {
        LONG value = objects.status();
        if (statuses.empty() || statuses.back() != value)
            statuses.push_back(value);
        return value;
    };

    long long thawStartSetMs = -1;
    if (options.thaw == Thaw::Early) {
        SetEvent(objects.thawStart());
        thawStartSetMs = 0;
    }
    Agent agent;
    Clock clock;
    clock.start();
    if (!options.attach && !agent.start(options)) {
        std::fprintf(stderr, "OrvelRunner: cannot start %ls: error %lu\n", options.agent.c_str(),
                     GetLastError());
        return 2;
    }
    if (options.agentPid != 0 && !agent.attach(options.agentPid)) {
        std::fprintf(stderr, "OrvelRunner: cannot open process %lu: error %lu\n", options.agentPid,
                     GetLastError());
        return 2;
    }

    long long freezeCompleteMs = -1, thawCompleteMs = -1, frozenMs = -1, holdUs = -1;
    if (waitFor(objects.freezeComplete(), agent, options.timeoutMs, clock) == Seen::Event) {
        const long long freezeCompleteUs = clock.us();
        freezeCompleteMs = clock.ms();
        // A status other than 0 at freeze-complete is an early failure: no
        // writers are frozen and nobody waits for a thaw-start.
        if (readStatus() == 0) {
            if (options.thaw == Thaw::AfterFreeze &&
                waitFor(nullptr, agent, options.thawDelayMs, clock) != Seen::AgentExit) {
                SetEvent(objects.thawStart());
                holdUs = clock.us() - freezeCompleteUs;
                thawStartSetMs = clock.ms();
            }
            if (waitFor(objects.thawComplete(), agent, options.timeoutMs, clock) == Seen::Event) {
                thawCompleteMs = clock.ms();
                readStatus();
            }
            if (options.thaw == Thaw::Early)
                frozenMs = 0;
            else if (thawStartSetMs >= 0)
                frozenMs = thawStartSetMs - freezeCompleteMs;
            else if (thawCompleteMs >= 0)
                frozenMs = thawCompleteMs - freezeCompleteMs;
            else
                frozenMs = (agent.exited() ? agent.exitMs() : clock.ms()) - freezeCompleteMs;
        }
    }

    readStatus();
    // Whether the agent ever reaches its final wait or not, notifying until it
    // has gone is harmless: an auto-reset event nobody waits on just stays set.
    const long long notifyUntil = clock.ms() + (agent.known() ? options.timeoutMs : options.notifyMs);
    while (!agent.exited() && clock.ms() < notifyUntil) {
        if (options.readNotify)
            SetEvent(objects.readNotification());
        long long left = notifyUntil - clock.ms();
        DWORD slice = options.readNotify ? kNotifyEveryMs : static_cast<DWORD>(left > 0 ? left : 0);
        waitFor(nullptr, agent, slice, clock);
    }
    const std::string exitCode = agent.exitCodeText();
    const LONG finalStatus = readStatus();

    std::string list;
    for (LONG value : statuses)
        list += (list.empty() ? "" : ",") + std::to_string(value);
    std::printf("RUNNER freeze_complete_ms=%lld thaw_start_set_ms=%lld thaw_complete_ms=%lld statuses=%s "
                "final_status=%ld exit_code=%s frozen_ms=%lld exit_ms=%lld hold_us=%lld\n",
                freezeCompleteMs, thawStartSetMs, thawCompleteMs, list.c_str(),
                static_cast<long>(finalStatus), exitCode.c_str(), frozenMs, agent.exitMs(), holdUs);
    std::fflush(stdout);
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (printedHelp(argc, argv, kHelp))
        return 0;
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "OrvelRunner: %s (see --help)\n", error.c_str());
        return 2;
    }
    return runProtocol(options);
}
