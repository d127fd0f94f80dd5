#pragma once
// The agent's client for a management server's agent endpoint: plain HTTP
// GETs over one persistent connection, whose only outcome of interest is
// whether a response arrived. The status code, headers and body are never
// read. Every phase waits without a time limit.
#include "Types.h"

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include "windows/UniqueHandle.h"

#include <string>
#include <vector>

// Sole owner of a WinHTTP session, connection or request handle.
using WinHttpHandle = UniqueHandle<NullableHandleTraits<HINTERNET, &WinHttpCloseHandle>>;

class HttpClient {
public:
    static constexpr const wchar_t* kUserAgent = L"OrVEL Agent/1.0";
    static constexpr const wchar_t* kPingObjectName = L"/KosService/AgentServer/ping";

    // `serverUrl` is a host name or address, as given on the command line.
    HttpClient(const std::wstring& serverUrl, u16 serverPort);
    // Closes what closeHandles has not.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Opens the session and the connection; nothing goes on the wire yet.
    [[nodiscard]] bool connect();
    // One request and its response, of any status. The request's handle
    // stays open until the next request, releaseRequest or closeHandles.
    [[nodiscard]] bool get(const std::wstring& objectName);
    // Closes the latest request's handle and keeps the connection. Closing a
    // request whose response was never read waits for the connection to
    // settle (8-10 ms under Wine), so the owner pays it for the ping before
    // the freeze rather than leaving it to the checkpoint's request.
    void releaseRequest();
    // Builds the checkpoint's object name and its log text ahead of time, so
    // that insertVssCheckpoint with the same addresses and tag only sends.
    void prepareVssCheckpoint(const std::vector<std::wstring>& macAddresses, const std::wstring& tag);
    // Asks the server to insert a checkpoint that carries the tag and the
    // addresses (see CheckpointObjectName).
    [[nodiscard]] bool insertVssCheckpoint(const std::vector<std::wstring>& macAddresses,
                                           const std::wstring& tag);
    // Closes the request, connection and session handles, in this order,
    // those that are open.
    void closeHandles();
    // The platform error of the latest connect or get that failed in a
    // call; 0 after one that succeeded.
    u32 lastError() const { return m_lastError; }

private:
    std::wstring m_serverUrl;
    u16 m_serverPort;
    u32 m_lastError = 0;
    // What prepareVssCheckpoint built, and from what.
    std::vector<std::wstring> m_preparedMacAddresses;
    std::wstring m_preparedTag;
    std::wstring m_checkpointObjectName; // empty until prepared
    std::string m_checkpointObjectNameText;
    WinHttpHandle m_hSession;
    WinHttpHandle m_hConnect;
    WinHttpHandle m_hRequest;
};
