// OrvelBareEvents.exe: the least the externally initiated window can cost on
// this machine. It makes the window's four wake-ups and nothing else: a
// provider thread sets "quiesced" and an agent thread wakes (one process, as
// the provider's commit runs inside the agent); the agent thread sets
// "freeze complete" and a runner process wakes; the runner sets "thaw start"
// at once and the agent thread wakes; the agent thread sets "thaw" and the
// provider thread wakes. Timed on the provider thread with
// QueryPerformanceCounter, from just before it sets "quiesced" to its wake on
// "thaw", less the runner's own time from its wake to its set, as the bench
// subtracts the real runner's hold.
//
// Standard output, one line:
//   BAREEVENTS window_us=<n1,n2,...>
// Exit code: 0; 1 when an event could not be made or a wake-up did not come
// within 10 s; 2 for a usage error.
// clang-format off
#include <windows.h>
// clang-format on

#include "TestbedCommon.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {
const char kHelp[] =
    "Usage: OrvelBareEvents.exe [--rounds N]\n"
    "Times the externally initiated window's four event wake-ups alone, N rounds (default\n"
    "20), each on events of its own. Prints \"BAREEVENTS window_us=<n1,n2,...>\". Exit code:\n"
    "0; 1 when a round failed; 2 for a usage error.\n";
const DWORD kWakeLimitMs = 10000;

long long ticksNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::wstring eventName(DWORD pid, unsigned long round, const wchar_t* what) {
    return L"Local\\OrvelBareEvents." + std::to_wstring(pid) + L"." + std::to_wstring(round) + L"." + what;
}

bool wake(const Handle& event) {
    return WaitForSingleObject(event.get(), kWakeLimitMs) == WAIT_OBJECT_0;
}

// The runner side, in its own process: answers every freeze complete with a
// thaw start at once, and leaves its own time for each round, in counter
// ticks, in the section the provider side reads.
int runnerSide(DWORD parent, unsigned long rounds) {
    Handle section(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, eventName(parent, 0, L"holds").c_str()));
    View holds(section.valid() ? MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr);
    if (!holds.valid())
        return 1;
    for (unsigned long i = 0; i < rounds; ++i) {
        Handle freezeComplete(OpenEventW(SYNCHRONIZE, FALSE, eventName(parent, i, L"freeze").c_str()));
        Handle thawStart(OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName(parent, i, L"thawstart").c_str()));
        if (!freezeComplete.valid() || !thawStart.valid())
            return 1;
        if (i == 0) {
            Handle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName(parent, 0, L"ready").c_str()));
            SetEvent(ready.get());
        }
        if (!wake(freezeComplete))
            return 1;
        // Up to the set, not past it: the set wakes the agent thread, and
        // this thread may not run again before the round is over.
        const long long seen = ticksNow();
        static_cast<volatile long long*>(holds.get())[i] = ticksNow() - seen;
        SetEvent(thawStart.get());
    }
    return 0;
}

struct Round {
    Handle quiesced, freezeComplete, thawStart, thaw;
    long long start = 0, end = 0;
    bool ok = false;
};

DWORD WINAPI agentThread(void* parameter) {
    Round& round = *static_cast<Round*>(parameter);
    if (!wake(round.quiesced))
        return 1;
    SetEvent(round.freezeComplete.get());
    if (!wake(round.thawStart))
        return 1;
    SetEvent(round.thaw.get());
    return 0;
}

// The round's events; the runner's two are named, so that it can open them.
bool makeEvents(DWORD pid, unsigned long i, Round& round) {
    round.quiesced.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    round.thaw.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    round.freezeComplete.reset(CreateEventW(nullptr, FALSE, FALSE, eventName(pid, i, L"freeze").c_str()));
    round.thawStart.reset(CreateEventW(nullptr, FALSE, FALSE, eventName(pid, i, L"thawstart").c_str()));
    return round.quiesced.valid() && round.thaw.valid() && round.freezeComplete.valid() &&
           round.thawStart.valid();
}

// One round on the calling (provider) thread; the agent thread is started
// and waiting before the clock starts.
bool oneRound(Round& round) {
    Handle agent(CreateThread(nullptr, 0, agentThread, &round, 0, nullptr));
    if (!agent.valid())
        return false;
    Sleep(50); // the agent thread and the runner are waiting by now
    round.start = ticksNow();
    SetEvent(round.quiesced.get());
    const bool thawed = wake(round.thaw);
    round.end = ticksNow();
    return thawed && WaitForSingleObject(agent.get(), kWakeLimitMs) == WAIT_OBJECT_0;
}

int providerSide(unsigned long rounds) {
    const DWORD pid = GetCurrentProcessId();
    const DWORD bytes = static_cast<DWORD>(rounds * sizeof(long long));
    Handle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes,
                                      eventName(pid, 0, L"holds").c_str()));
    View holds(section.valid() ? MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr);
    if (!holds.valid()) {
        std::printf("BAREEVENTS failed step=section error=%lu\n", GetLastError());
        return 1;
    }
    // Every round's events exist before the runner starts to open them, and
    // the first round waits until the runner is up.
    Handle ready(CreateEventW(nullptr, FALSE, FALSE, eventName(pid, 0, L"ready").c_str()));
    std::vector<Round> done(rounds);
    for (unsigned long i = 0; i < rounds; ++i) {
        if (!makeEvents(pid, i, done[i])) {
            std::printf("BAREEVENTS failed step=events error=%lu\n", GetLastError());
            return 1;
        }
    }
    std::wstring command = quotedArgument(ownExecutablePath()) + L" --runner-of " + std::to_wstring(pid) +
                           L" --rounds " + std::to_wstring(rounds);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::printf("BAREEVENTS failed step=runner error=%lu\n", GetLastError());
        return 1;
    }
    Handle runner(process.hProcess);
    Handle runnerThread(process.hThread);
    if (!ready.valid() || !wake(ready)) {
        std::printf("BAREEVENTS failed step=runner_ready error=%lu\n", GetLastError());
        TerminateProcess(runner.get(), 1);
        return 1;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::string times;
    for (unsigned long i = 0; i < rounds; ++i) {
        if (!oneRound(done[i])) {
            std::printf("BAREEVENTS failed round=%lu window_us=%s\n", i + 1, times.c_str());
            TerminateProcess(runner.get(), 1);
            return 1;
        }
        const long long hold = static_cast<volatile long long*>(holds.get())[i];
        const long long us = (done[i].end - done[i].start - hold) * 1000000 / frequency.QuadPart;
        times += (times.empty() ? "" : ",") + std::to_string(us);
    }
    WaitForSingleObject(runner.get(), kWakeLimitMs);
    std::printf("BAREEVENTS window_us=%s\n", times.c_str());
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (printedHelp(argc, argv, kHelp))
        return 0;
    unsigned long rounds = 20, parent = 0;
    bool ok = argc % 2 == 1;
    for (int i = 1; ok && i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        if (name == L"--rounds")
            ok = parseNumber(argv[i + 1], rounds, 10000) && rounds > 0;
        else if (name == L"--runner-of")
            ok = parseNumber(argv[i + 1], parent) && parent > 0;
        else
            ok = false;
    }
    if (!ok) {
        std::fputs("OrvelBareEvents: bad command line (see --help)\n", stderr);
        return 2;
    }
    return parent != 0 ? runnerSide(parent, rounds) : providerSide(rounds);
}
