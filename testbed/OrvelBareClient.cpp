// OrvelBareClient.exe: the least a checkpoint can cost on this machine. It
// does what the agent's client does for one server, with nothing else around
// it: a WinHTTP session with the agent's user agent, proxy setting and
// unlimited time-outs, one connection, the ping GET, the ping's request
// closed as soon as its response has arrived, then the checkpoint GET over
// the same connection, timed from the request's open to its response with
// QueryPerformanceCounter. Each of --runs rounds starts a new session, as
// each agent run does. --gap-ms sleeps between the ping's close and the
// checkpoint, as the agent's freeze lies between its two: an idle connection
// and a server gone back to waiting may cost what a back-to-back pair hides.
//
// Standard output, one line:
//   BARECLIENT checkpoint_us=<n1,n2,...>
// Exit code: 0 when every round got both responses; 1 when one failed
// (the line names the step and its error); 2 for a usage error.
// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include "TestbedCommon.h"

#include <cstdio>
#include <string>

namespace {
const wchar_t kUserAgent[] = L"OrVEL Agent/1.0";
const wchar_t kPingPath[] = L"/KosService/AgentServer/ping";

const char kHelp[] =
    "Usage: OrvelBareClient.exe --port N [--host H] [--path P] [--runs N] [--gap-ms N]\n"
    "Times the checkpoint GET as the agent's client makes it, alone: per round a new WinHTTP\n"
    "session and connection to H:N (default host 127.0.0.1), the ping GET with its request closed\n"
    "once answered, a sleep of --gap-ms (default 0), then the checkpoint GET P (default\n"
    "/KosService/AgentServer/insertlicensed/000000000000/YmFyZQ==), timed with QueryPerformanceCounter.\n"
    "Prints \"BARECLIENT checkpoint_us=<n1,n2,...>\". Exit code: 0; 1 when a round failed; 2 for a usage\n"
    "error.\n";

struct WinHttpTraits {
    using Value = HINTERNET;
    static HINTERNET empty() { return nullptr; }
    static bool valid(HINTERNET h) { return h != nullptr; }
    static void release(HINTERNET h) { WinHttpCloseHandle(h); }
};
using Internet = Owned<WinHttpTraits>;

// Open, send and receive, the response left unread as the agent leaves it.
// Empty on success, else the failing step and its error.
std::string get(HINTERNET connection, const wchar_t* path, Internet& request) {
    request.reset(WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request.valid())
        return "open_request error=" + std::to_string(GetLastError());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0))
        return "send error=" + std::to_string(GetLastError());
    if (!WinHttpReceiveResponse(request.get(), nullptr))
        return "receive error=" + std::to_string(GetLastError());
    return "";
}

// One round; `us` gets the checkpoint's round trip.
std::string round(const std::wstring& host, unsigned long port, const std::wstring& path, unsigned long gapMs,
                  long long& us) {
    Internet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.valid())
        return "open error=" + std::to_string(GetLastError());
    if (!WinHttpSetTimeouts(session.get(), -1, -1, -1, -1))
        return "timeouts error=" + std::to_string(GetLastError());
    Internet connection(WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
    if (!connection.valid())
        return "connect error=" + std::to_string(GetLastError());
    Internet request;
    std::string failure = get(connection.get(), kPingPath, request);
    if (!failure.empty())
        return "ping " + failure;
    request.reset();
    if (gapMs > 0)
        Sleep(gapMs);

    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    failure = get(connection.get(), path.c_str(), request);
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    us = (end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
    return failure.empty() ? "" : "checkpoint " + failure;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (printedHelp(argc, argv, kHelp))
        return 0;
    std::wstring host = L"127.0.0.1";
    std::wstring path = L"/KosService/AgentServer/insertlicensed/000000000000/YmFyZQ==";
    unsigned long port = 0, runs = 1, gapMs = 0;
    bool ok = argc % 2 == 1;
    for (int i = 1; ok && i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        if (name == L"--host")
            host = argv[i + 1];
        else if (name == L"--path")
            path = argv[i + 1];
        else if (name == L"--port")
            ok = parseNumber(argv[i + 1], port, 65535) && port > 0;
        else if (name == L"--runs")
            ok = parseNumber(argv[i + 1], runs, 100000) && runs > 0;
        else if (name == L"--gap-ms")
            ok = parseNumber(argv[i + 1], gapMs, 60000);
        else
            ok = false;
    }
    if (!ok || port == 0) {
        std::fputs("OrvelBareClient: bad command line (see --help)\n", stderr);
        return 2;
    }
    std::string times;
    for (unsigned long i = 0; i < runs; ++i) {
        long long us = 0;
        const std::string failure = round(host, port, path, gapMs, us);
        if (!failure.empty()) {
            std::printf("BARECLIENT failed round=%lu %s checkpoint_us=%s\n", i + 1, failure.c_str(),
                        times.c_str());
            return 1;
        }
        times += (times.empty() ? "" : ",") + std::to_string(us);
    }
    std::printf("BARECLIENT checkpoint_us=%s\n", times.c_str());
    return 0;
}
