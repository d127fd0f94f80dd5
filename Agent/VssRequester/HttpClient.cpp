#include "VssRequester/HttpClient.h"

#include "AgentCommon/PlatformErrorLog.h"
#include "AgentCommon/TextConversion.h"
#include "Log.h"
#include "VssRequester/CheckpointObjectName.h"

// Each platform error is read right after its call: logging in between may
// change the thread's last error.

HttpClient::HttpClient(const std::wstring& serverUrl, u16 serverPort)
    : m_serverUrl(serverUrl), m_serverPort(serverPort) {
    LOG(LogInfo) << "m_serverUrl = " << utf8Text(m_serverUrl) << std::endl;
    LOG(LogInfo) << "m_serverPort = " << m_serverPort << std::endl;
}

HttpClient::~HttpClient() {
    closeHandles();
}

bool HttpClient::connect() {
    // A second connect starts over rather than leaving the first one's
    // handles to be closed out of order.
    closeHandles();
    m_lastError = 0;
    HINTERNET session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    DWORD error = GetLastError();
    m_hSession.reset(session);
    LOG(LogInfo) << "WinHttpOpen returned " << static_cast<const void*>(session) << std::endl;
    if (session == nullptr) {
        m_lastError = error;
        LOG_PLATFORM_ERROR(error, "WinHttpOpen");
        return false;
    }
    // No limit on any phase: a checkpoint request the agent gave up on could
    // still be inserted by the server, and the two would disagree. The price
    // is that a server which accepts and never answers holds the caller.
    if (!WinHttpSetTimeouts(session, -1, -1, -1, -1)) {
        error = GetLastError();
        m_lastError = error;
        LOG_PLATFORM_ERROR(error, "WinHttpSetTimeouts");
        return false;
    }
    HINTERNET connection = WinHttpConnect(session, m_serverUrl.c_str(), m_serverPort, 0);
    error = GetLastError();
    m_hConnect.reset(connection);
    LOG(LogInfo) << "WinHttpConnect returned " << static_cast<const void*>(connection) << std::endl;
    if (connection == nullptr) {
        m_lastError = error;
        LOG_PLATFORM_ERROR(error, "WinHttpConnect");
        return false;
    }
    return true;
}

bool HttpClient::get(const std::wstring& objectName) {
    m_lastError = 0;
    HINTERNET request = WinHttpOpenRequest(m_hConnect.get(), L"GET", objectName.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    DWORD error = GetLastError();
    // A previous request still open is closed here: nothing reads its
    // response, and it would otherwise stay open until the owner closes the
    // handles.
    m_hRequest.reset(request);
    LOG(LogInfo) << "WinHttpOpenRequest returned " << static_cast<const void*>(request) << std::endl;
    if (request == nullptr) {
        m_lastError = error;
        LOG_PLATFORM_ERROR(error, "WinHttpOpenRequest");
        return false;
    }
    BOOL result =
        WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    error = GetLastError();
    LOG(LogInfo) << "WinHttpSendRequest returned " << result << std::endl;
    if (!result) {
        m_lastError = error;
        LOG_PLATFORM_ERROR(error, "WinHttpSendRequest");
        return false;
    }
    result = WinHttpReceiveResponse(request, nullptr);
    error = GetLastError();
    LOG(LogInfo) << "WinHttpReceiveResponse returned " << result << std::endl;
    if (!result) {
        m_lastError = error;
        LOG_PLATFORM_ERROR(error, "WinHttpReceiveResponse");
        return false;
    }
    return true;
}

void HttpClient::releaseRequest() {
    m_hRequest.reset();
}

void HttpClient::prepareVssCheckpoint(const std::vector<std::wstring>& macAddresses,
                                      const std::wstring& tag) {
    m_preparedMacAddresses = macAddresses;
    m_preparedTag = tag;
    m_checkpointObjectName = CheckpointObjectName::compose(macAddresses, tag);
    m_checkpointObjectNameText = utf8Text(m_checkpointObjectName);
}

bool HttpClient::insertVssCheckpoint(const std::vector<std::wstring>& macAddresses, const std::wstring& tag) {
    // The writers are frozen while this runs: the name is built here only
    // when the owner did not prepare it for these arguments.
    if (m_checkpointObjectName.empty() || macAddresses != m_preparedMacAddresses || tag != m_preparedTag)
        prepareVssCheckpoint(macAddresses, tag);
    LOG(LogInfo) << "Object name: " << m_checkpointObjectNameText << std::endl;
    return get(m_checkpointObjectName);
}

void HttpClient::closeHandles() {
    m_hRequest.reset();
    m_hConnect.reset();
    m_hSession.reset();
}
