// OrvelManagementServer.exe: a management server's agent endpoint on the
// IPv4 loopback, plain HTTP/1.1 over Winsock, as the agent's checkpoint
// client meets it. It answers the ping and the checkpoint requests with the
// status a test asks for, after a delay or never, on kept-alive connections
// (each served by the thread that was waiting in accept() for it), records
// every request and ends by itself after its lifetime.
//
// It answers first and records after: the agent's checkpoint request runs
// while the writers are frozen, so nothing of the server's own bookkeeping
// may stand between the request and its answer.
//
// Record file: one line per request, appended with one write once the
// request is answered (at once for a request that gets no answer), fields
// separated by a tab, ended by "\n":
//   time=<UTC YYYY-MM-DD hh:mm:ss.mmm>\tconn=<n from 1>\tkind=<ping|checkpoint|other>\t
//   ua=<User-Agent value>\tpath=<request target exactly as received>[\tread_us=<n>][\tanswer_us=<n>]
//   [\thandles=<n>]
// time is when the request had been read whole. read_us, on a connection's
// first request only, is the time from the connection's accept to that
// request read whole: with answer_us, the server's whole share of a request
// that came on a new connection. answer_us is the server's own
// time from then to the answer sent, any configured delay included (absent
// when no answer was sent). handles, only with --count-handles, is the
// server's open handle count after the answer, so that a long series of runs
// shows whether the server (and with it the agent's connections) leaks;
// counting costs ~90 ms under Wine.
// Received count: a named section "OrvelManagementServer.<port>.received"
// holds, as a LONG, the number of requests read whole so far, raised before
// each answer; a reader that has seen it at N knows the record file will hold
// N lines.
// Answer: "HTTP/1.1 <status> X\r\nContent-Length: 0\r\n\r\n"; requests of
// another kind get 404 at once.
// Ready file: the port number in decimal (no line end), put in place whole
// once the server listens. Standard output: "SERVER port=<n>" at the same time.
// Exit code: 0 at the end of the lifetime; 2 for a usage or start error.
#include <winsock2.h>

#include "TestbedCommon.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {
const char kPingPath[] = "/KosService/AgentServer/ping";
const char kCheckpointPrefix[] = "/KosService/AgentServer/insertlicensed/";
const unsigned long kOtherStatus = 404;
// A request head larger than this is no request of the agent's.
const size_t kMaxHeadBytes = 64 * 1024;

const char kHelp[] =
    "Usage: OrvelManagementServer.exe [options]\n"
    "A management server's agent endpoint on 127.0.0.1, plain HTTP/1.1: answers\n"
    "GET /KosService/AgentServer/ping and GET /KosService/AgentServer/insertlicensed/... with\n"
    "\"HTTP/1.1 <status> X\\r\\nContent-Length: 0\\r\\n\\r\\n\" (other paths: 404), several requests per\n"
    "connection, each connection on its own thread.\n"
    "\n"
    "Options:\n"
    "  --port N                 port to listen on; 0 (default) picks a free one\n"
    "  --ready-file PATH        written with the port number once listening\n"
    "  --record PATH            one line per request appended once it is answered:\n"
    "                           time=<UTC YYYY-MM-DD "
    "hh:mm:ss.mmm>\\tconn=<n>\\tkind=<ping|checkpoint|other>\n"
    "                           \\tua=<User-Agent>\\tpath=<request target as received>\n"
    "                           [\\tanswer_us=<n>][\\thandles=<n>]\n"
    "  --count-handles          add the server's open handle count to each line (slow under Wine)\n"
    "  --ping-status S          status of the ping answer (default 200)\n"
    "  --checkpoint-status S    status of the checkpoint answer (default 200)\n"
    "  --ping-delay-ms N        wait before answering a ping (default 0)\n"
    "  --checkpoint-delay-ms N  wait before answering a checkpoint (default 0)\n"
    "  --silent-on KIND         ping, checkpoint or all: read such requests and never answer them,\n"
    "                           keeping the connection open\n"
    "  --close-on KIND          ping, checkpoint or all: read such requests and close the connection\n"
    "                           without an answer\n"
    "  --lifetime-ms N          exit by itself after N ms (default 60000)\n"
    "\n"
    "Prints \"SERVER port=<n>\" once listening. Exit code: 0 at the end of the lifetime; 2 for a\n"
    "usage or start error.\n";

struct SocketTraits {
    using Value = SOCKET;
    static SOCKET empty() { return INVALID_SOCKET; }
    static bool valid(SOCKET s) { return s != INVALID_SOCKET; }
    static void release(SOCKET s) { closesocket(s); }
};
using Socket = Owned<SocketTraits>;

enum Kind { kPing, kCheckpoint, kOther };
const char* const kKindNames[] = {"ping", "checkpoint", "other"};

struct Options {
    unsigned long port = 0;
    std::wstring readyFile;
    std::wstring recordFile;
    unsigned long status[3] = {200, 200, kOtherStatus};
    unsigned long delayMs[3] = {0, 0, 0};
    bool silent[3] = {false, false, false};
    bool close[3] = {false, false, false};
    unsigned long lifetimeMs = 60000;
    bool countHandles = false;
};

// "ping", "checkpoint" or "all" turns on the matching flags.
bool parseKinds(const std::wstring& kind, bool (&flags)[3]) {
    flags[kPing] = flags[kPing] || kind == L"ping" || kind == L"all";
    flags[kCheckpoint] = flags[kCheckpoint] || kind == L"checkpoint" || kind == L"all";
    flags[kOther] = flags[kOther] || kind == L"all";
    return kind == L"ping" || kind == L"checkpoint" || kind == L"all";
}

bool parseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"--count-handles") {
            options.countHandles = true;
            continue;
        }
        const wchar_t* value = i + 1 < argc ? argv[++i] : nullptr;
        const unsigned long kMaxMs = 0x7FFFFFFF;
        bool ok = value != nullptr;
        if (!ok)
            return false;
        if (name == L"--port")
            ok = parseNumber(value, options.port, 65535);
        else if (name == L"--ready-file")
            options.readyFile = value;
        else if (name == L"--record")
            options.recordFile = value;
        else if (name == L"--ping-status")
            ok = parseNumber(value, options.status[kPing], 999) && options.status[kPing] >= 100;
        else if (name == L"--checkpoint-status")
            ok = parseNumber(value, options.status[kCheckpoint], 999) && options.status[kCheckpoint] >= 100;
        else if (name == L"--ping-delay-ms")
            ok = parseNumber(value, options.delayMs[kPing], kMaxMs);
        else if (name == L"--checkpoint-delay-ms")
            ok = parseNumber(value, options.delayMs[kCheckpoint], kMaxMs);
        else if (name == L"--lifetime-ms")
            ok = parseNumber(value, options.lifetimeMs, kMaxMs);
        else if (name == L"--silent-on")
            ok = parseKinds(value, options.silent);
        else if (name == L"--close-on")
            ok = parseKinds(value, options.close);
        else
            ok = false;
        if (!ok)
            return false;
    }
    return true;
}

// Lines from several connection threads, each written whole with one call.
class Recorder {
public:
    bool open(const std::wstring& path) {
        m_file.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        return m_file.valid();
    }
    void write(const std::string& line) {
        if (!m_file.valid())
            return;
        std::lock_guard<std::mutex> lock(m_lock);
        DWORD written = 0;
        // Written straight to the file, so a reader sees the line at once; no
        // FlushFileBuffers, whose trip to the disk would delay the answer.
        WriteFile(m_file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

private:
    std::mutex m_lock;
    Handle m_file;
};

struct Server {
    Options options;
    Recorder recorder;
    Handle receivedSection;
    View receivedView;
    volatile LONG* received = nullptr;
};

struct Request {
    std::string target;
    std::string userAgent;
    bool close = false;
};

bool equalsNoCase(const std::string& a, const char* b) {
    return _stricmp(a.c_str(), b) == 0;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool receiveMore(SOCKET socket, std::string& buffer) {
    char chunk[4096];
    int got = recv(socket, chunk, sizeof(chunk), 0);
    if (got <= 0)
        return false;
    buffer.append(chunk, static_cast<size_t>(got));
    return true;
}

// Takes the next whole request off `buffer`, receiving as needed; false when
// the connection ended (or misbehaved) first.
bool nextRequest(SOCKET socket, std::string& buffer, Request& request) {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
        if (buffer.size() > kMaxHeadBytes || !receiveMore(socket, buffer))
            return false;
    const std::string head = buffer.substr(0, end + 2);
    buffer.erase(0, end + 4);

    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    size_t firstBlank = requestLine.find(' ');
    size_t secondBlank = requestLine.find(' ', firstBlank + 1);
    if (firstBlank == std::string::npos || secondBlank == std::string::npos)
        return false;
    request = Request();
    request.target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    const std::string version = requestLine.substr(secondBlank + 1);
    std::string connection;
    unsigned long long bodyBytes = 0;
    for (size_t start = lineEnd + 2; start < head.size(); start = lineEnd + 2) {
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = line.substr(0, colon), value = trimmed(line.substr(colon + 1));
        if (equalsNoCase(name, "User-Agent"))
            request.userAgent = value;
        else if (equalsNoCase(name, "Connection"))
            connection = value;
        else if (equalsNoCase(name, "Content-Length"))
            bodyBytes = std::strtoull(value.c_str(), nullptr, 10);
    }
    request.close =
        version == "HTTP/1.0" ? !equalsNoCase(connection, "keep-alive") : equalsNoCase(connection, "close");
    // The agent sends no body; one that comes is read and dropped.
    while (buffer.size() < bodyBytes)
        if (!receiveMore(socket, buffer))
            return false;
    buffer.erase(0, static_cast<size_t>(bodyBytes));
    return true;
}

// Wine answers GetProcessHandleCount with 0; there the handle values in use
// are counted instead. Wine hands out the lowest free multiple of 4, so the
// first 2048 values hold every handle of a server with far fewer.
unsigned long handleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    for (ULONG_PTR value = 4; value < 8192; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

Kind kindOf(const std::string& target) {
    if (target == kPingPath)
        return kPing;
    return target.compare(0, sizeof(kCheckpointPrefix) - 1, kCheckpointPrefix) == 0 ? kCheckpoint : kOther;
}

bool sendAll(SOCKET socket, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
        int n = send(socket, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

long long microsecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
}

void serveConnection(Socket socket, unsigned long number, std::shared_ptr<Server> server,
                     LARGE_INTEGER accepted) {
    const Options& options = server->options;
    std::string buffer;
    Request request;
    for (bool first = true; nextRequest(socket.get(), buffer, request); first = false) {
        const long long readUs = first ? microsecondsSince(accepted) : -1;
        LARGE_INTEGER read;
        QueryPerformanceCounter(&read);
        const Kind kind = kindOf(request.target);
        const bool answers = !options.close[kind] && !options.silent[kind];
        const std::string readTime = utcNow();
        if (server->received != nullptr)
            InterlockedIncrement(server->received);
        bool sent = false;
        long long answerUs = -1;
        if (answers) {
            if (options.delayMs[kind] > 0)
                Sleep(options.delayMs[kind]);
            const std::string answer =
                "HTTP/1.1 " + std::to_string(options.status[kind]) + " X\r\nContent-Length: 0\r\n\r\n";
            sent = sendAll(socket.get(), answer);
            answerUs = microsecondsSince(read);
        }
        std::string line = "time=" + readTime + "\tconn=" + std::to_string(number) +
                           "\tkind=" + kKindNames[kind] + "\tua=" + request.userAgent +
                           "\tpath=" + request.target;
        if (readUs >= 0)
            line += "\tread_us=" + std::to_string(readUs);
        if (answerUs >= 0)
            line += "\tanswer_us=" + std::to_string(answerUs);
        if (options.countHandles)
            line += "\thandles=" + std::to_string(handleCount());
        server->recorder.write(line + "\n");
        if (options.close[kind] || (answers && (!sent || request.close)))
            return;
        // A silent server keeps reading, so the connection stays open until
        // the client gives up or the lifetime ends.
    }
}

// The received count's section, named after the port so that servers of one
// prefix do not share it.
bool openReceivedCount(Server& server, unsigned port) {
    const std::wstring name = L"OrvelManagementServer." + std::to_wstring(port) + L".received";
    server.receivedSection.reset(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), name.c_str()));
    if (!server.receivedSection.valid())
        return false;
    server.receivedView.reset(MapViewOfFile(server.receivedSection.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    server.received = static_cast<volatile LONG*>(server.receivedView.get());
    return server.received != nullptr;
}

// Replaces `path` whole, so that a reader never sees it half written.
bool writeReadyFile(const std::wstring& path, unsigned port) {
    const std::wstring temporary = path + L".tmp";
    const std::string text = std::to_string(port);
    {
        Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file.valid() ||
            !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return false;
    }
    return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// Connections are taken by threads that wait in accept() themselves and then
// serve what they took, so a new connection reaches a thread already blocked
// on it in one wake-up. The agent's checkpoint is a new connection made while
// the writers are frozen, and two other shapes cost it milliseconds under Wine
// on two cores: a thread created for a connection that has just been accepted
// (about a millisecond), and select() on the listener followed by accept() --
// while the listener is ready and nobody has accepted yet, wineserver polls it
// without pause and holds a core, and the thread woken from select() waits
// behind it for up to 5 ms. kSpare threads always wait; a thread of its own
// starts new ones, away from the connection just taken, and a thread whose
// connection has ended goes back to accepting, so the pool only grows with
// the number of connections open at once.
class Acceptors {
public:
    Acceptors(SOCKET listener, std::shared_ptr<Server> server)
        : m_listener(listener), m_server(std::move(server)) {
        std::thread([this] { spawn(); }).detach();
    }

private:
    static const size_t kSpare = 2;

    void spawn() {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wanted.wait(lock, [this] { return m_idle < kSpare; });
            // Counted as waiting from now on, so that one shortage starts
            // one thread.
            ++m_idle;
            lock.unlock();
            std::thread([this] { acceptAndServe(); }).detach();
        }
    }

    void acceptAndServe() {
        for (;;) {
            Socket connection(accept(m_listener, nullptr, nullptr));
            LARGE_INTEGER accepted;
            QueryPerformanceCounter(&accepted);
            if (!connection.valid()) {
                Sleep(10); // not expected; keeps a failing accept from spinning
                continue;
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            const bool shortage = --m_idle < kSpare;
            lock.unlock();
            if (shortage)
                m_wanted.notify_one();
            serveConnection(std::move(connection), InterlockedIncrement(&m_connections), m_server, accepted);
            lock.lock();
            ++m_idle;
        }
    }

    const SOCKET m_listener;
    std::shared_ptr<Server> m_server;
    std::mutex m_mutex;
    std::condition_variable m_wanted;
    size_t m_idle = 0;
    volatile LONG m_connections = 0;
};

int serve(const Options& options) {
    auto server = std::make_shared<Server>();
    server->options = options;
    if (!options.recordFile.empty() && !server->recorder.open(options.recordFile)) {
        std::fprintf(stderr, "OrvelManagementServer: cannot open the record file: error %lu\n",
                     GetLastError());
        return 2;
    }
    // No WSACleanup: connection threads may still be inside Winsock when the
    // lifetime ends, and the end of the process releases the session.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fputs("OrvelManagementServer: WSAStartup failed\n", stderr);
        return 2;
    }
    Socket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(options.port));
    int length = sizeof(address);
    if (!listener.valid() ||
        bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.get(), SOMAXCONN) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "OrvelManagementServer: cannot listen on port %lu: error %d\n", options.port,
                     WSAGetLastError());
        return 2;
    }
    const unsigned port = ntohs(address.sin_port);
    if (!openReceivedCount(*server, port)) {
        std::fprintf(stderr, "OrvelManagementServer: cannot create the received count: error %lu\n",
                     GetLastError());
        return 2;
    }
    if (!options.readyFile.empty() && !writeReadyFile(options.readyFile, port)) {
        std::fprintf(stderr, "OrvelManagementServer: cannot write the ready file: error %lu\n",
                     GetLastError());
        return 2;
    }
    std::printf("SERVER port=%u\n", port);
    std::fflush(stdout);

    // Never destroyed: its threads serve until the process ends.
    new Acceptors(listener.get(), server);
    Sleep(options.lifetimeMs);
    // Connections still open end with the process.
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (printedHelp(argc, argv, kHelp))
        return 0;
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs("OrvelManagementServer: bad command line (see --help)\n", stderr);
        return 2;
    }
    return serve(options);
}
