#include "AgentCommon/RunRecordFile.h"

#include "AgentCommon/RunRecordMarker.h"
#include "AgentCommon/TextConversion.h"
#include "VssRequester/LastAliveStampGuard.h"
#include "VssRequester/WindowsErrorRecoveryGuard.h"
#include "windows/WinHandle.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <optional>
#include <utility>

namespace {
const int kCommonAppDataFolder = 0x8023;
// Serialises rotation between agents that end at once; a wait beyond this
// appends without it (a single appending write never interleaves anyway).
const wchar_t* const kRotationMutex = L"Global\\OrvelVssRunRecordMutex";
const DWORD kRotationWaitMs = 2000;
// The start-up scan of markers: what one file may hold, how many entries
// and how much time one run gives it. What is left over is for the next
// run; the scan runs before the command line is read, far from any wait.
const DWORD kMarkerMaxBytes = 4096;
const u32 kMarkerScanMaxEntries = 4096;
const u64 kMarkerScanMaxMs = 2000;
// Unfinished runs listed by name in one record; the rest are only counted.
const size_t kUnfinishedListed = 16;
// A file with a marker's name that is not a marker is removed once it is
// older than this. A live run's marker is read only after it was written
// whole, so this only has to outlast a run that is still writing its own;
// a day also leaves an operator's copy alone while it is looked at.
const u64 kJunkMarkerAge100ns = 24ull * 3600 * 1000 * 1000 * 10;

// The run's own marker, once written.
std::wstring& ownMarker() {
    static std::wstring* path = new std::wstring();
    return *path;
}

u64 fileTimeValue(const FILETIME& time) {
    return (static_cast<u64>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

u64 processCreated(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return fileTimeValue(created);
}

// A process that still runs and was created when the marker says: a reused
// process id belongs to a later process. A creation time that could not be
// read on either side counts as the same, so that a live agent is never
// reported as unfinished.
bool markerProcessAlive(const RunRecordMarker& marker) {
    WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(marker.pid)));
    if (!process.valid())
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode) || exitCode != STILL_ACTIVE)
        return false;
    const u64 created = processCreated(process.get());
    return created == 0 || marker.created == 0 || created == marker.created;
}

// Up to kMarkerMaxBytes of a plain file; anything else in the folder (a
// folder, a link, a device or a pipe a link points at) is not read, so that
// no planted name can block or flood the scan.
bool readMarkerFile(const std::wstring& path, std::string& text) {
    WinHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK)
        return false;
    char buffer[kMarkerMaxBytes];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, kMarkerMaxBytes, &read, nullptr))
        return false;
    text.assign(buffer, read);
    return true;
}

bool writeNewFile(const std::wstring& path, const std::string& text) {
    WinHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    DWORD written = 0;
    return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

bool registryValuePresent(const wchar_t* key, const wchar_t* name) {
    RegistryKey opened;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, opened.out()) == ERROR_SUCCESS &&
           RegQueryValueExW(opened.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::wstring wideAscii(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

std::string runId() {
    GUID guid = {};
    if (FAILED(CoCreateGuid(&guid)))
        return std::string();
    char text[40];
    std::snprintf(text, sizeof(text), "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                  guid.Data4[7]);
    return text;
}

class ScopedMutex {
public:
    ScopedMutex() : m_mutex(CreateMutexW(nullptr, FALSE, kRotationMutex)) {
        if (m_mutex.valid()) {
            DWORD wait = WaitForSingleObject(m_mutex.get(), kRotationWaitMs);
            m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    ~ScopedMutex() {
        if (m_owned)
            ReleaseMutex(m_mutex.get());
    }
    ScopedMutex(const ScopedMutex&) = delete;
    ScopedMutex& operator=(const ScopedMutex&) = delete;

private:
    WinHandle m_mutex;
    bool m_owned = false;
};

// Who ran: the host, the process, the kernel's own version (not the one a
// manifest-less process is told).
void machineFacts(RunRecord& record) {
    record.pid = static_cast<i64>(GetCurrentProcessId());
    wchar_t name[256];
    DWORD size = sizeof(name) / sizeof(name[0]);
    if (GetComputerNameExW(ComputerNameDnsHostname, name, &size))
        record.host = utf8Text(std::wstring(name, size));
    typedef LONG(WINAPI * RtlGetVersionCall)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    RtlGetVersionCall getVersion = ntdll ? reinterpret_cast<RtlGetVersionCall>(reinterpret_cast<void*>(
                                               GetProcAddress(ntdll, "RtlGetVersion")))
                                         : nullptr;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (getVersion != nullptr && getVersion(&version) == 0)
        record.osBuild = std::to_string(version.dwMajorVersion) + "." +
                         std::to_string(version.dwMinorVersion) + "." + std::to_string(version.dwBuildNumber);
}

HANDLE openForAppend(const std::wstring& path) {
    return CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}
} // namespace

std::wstring RunRecordFile::agentFolder() {
    wchar_t path[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, kCommonAppDataFolder, nullptr, 0, path)))
        return std::wstring();
    return std::wstring(path) + L"\\Orvel";
}

std::wstring RunRecordFile::folder() {
    const std::wstring agent = agentFolder();
    return agent.empty() ? agent : agent + L"\\logs";
}

i64 RunRecordFile::ticksNow() {
    LARGE_INTEGER now;
    return QueryPerformanceCounter(&now) ? now.QuadPart : 0;
}

std::string RunRecordFile::nowUtc() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return RunRecord::isoUtc(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                             now.wMilliseconds);
}

void RunRecordFile::begin(RunRecord& record) {
    LARGE_INTEGER frequency;
    if (QueryPerformanceFrequency(&frequency))
        record.ticksPerSecond = frequency.QuadPart;
    record.run = runId();
    record.start = nowUtc();

    const std::wstring dir = folder();
    if (dir.empty())
        return;
    scanMarkers(dir, record);

    RunRecordMarker own;
    own.run = record.run;
    own.pid = static_cast<i64>(GetCurrentProcessId());
    own.created = processCreated(GetCurrentProcess());
    own.start = record.start;
    const std::wstring path = dir + L"\\" + kMarkerPrefix + wideAscii(record.run.c_str()) + kMarkerSuffix;
    if (writeNewFile(path, own.text()))
        ownMarker() = path;
}

void RunRecordFile::scanMarkers(const std::wstring& dir, RunRecord& record) {
    WIN32_FIND_DATAW found;
    FileSearchHandle find(
        FindFirstFileW((dir + L"\\" + kMarkerPrefix + L"*" + kMarkerSuffix).c_str(), &found));
    if (!find.valid())
        return;
    FILETIME nowTime;
    GetSystemTimeAsFileTime(&nowTime);
    const u64 now = fileTimeValue(nowTime);
    const ULONGLONG deadline = GetTickCount64() + kMarkerScanMaxMs;
    // The machine state an unfinished run would have put back: read once,
    // the same for every such run.
    std::optional<std::pair<bool, bool>> machineState;
    u32 entries = 0;
    do {
        if (++entries > kMarkerScanMaxEntries || GetTickCount64() > deadline) {
            record.markerScanCut = true;
            return;
        }
        // Folders and links are never ours: left as they are.
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::wstring path = dir + L"\\" + found.cFileName;
        std::string text;
        RunRecordMarker marker;
        if (!readMarkerFile(path, text) || !RunRecordMarker::parse(text, marker)) {
            const u64 written = fileTimeValue(found.ftLastWriteTime);
            if (written < now && now - written > kJunkMarkerAge100ns && DeleteFileW(path.c_str()))
                ++record.markersDropped;
            continue;
        }
        if (markerProcessAlive(marker))
            continue;
        // Reported once: the next run does not find it again.
        DeleteFileW(path.c_str());
        if (record.previousRunUnfinished.size() >= kUnfinishedListed) {
            ++record.unfinishedNotListed;
            continue;
        }
        if (!machineState)
            machineState = std::make_pair(
                registryValuePresent(WindowsErrorRecoveryDisabler::kRunOnceKey,
                                     wideAscii(WindowsErrorRecoveryDisabler::kRunOnceValueName).c_str()),
                registryValuePresent(LastAliveStampCache::kKey, LastAliveStampCache::kValueName));
        RunRecordUnfinished unfinished;
        unfinished.run = marker.run;
        unfinished.pid = marker.pid;
        unfinished.start = marker.start;
        unfinished.runOncePresent = machineState->first;
        unfinished.lastAliveStampPresent = machineState->second;
        record.previousRunUnfinished.push_back(unfinished);
    } while (FindNextFileW(find.get(), &found));
}

bool RunRecordFile::finish(RunRecord& record, u64 boundBytes) {
    record.end = nowUtc();
    machineFacts(record);
    const std::string line = record.jsonLine();
    const std::wstring dir = folder();
    bool written = false;
    if (!dir.empty()) {
        const std::wstring path = dir + L"\\" + kFileName;
        ScopedMutex rotation;
        WinHandle file(openForAppend(path));
        LARGE_INTEGER size = {};
        // Each of the two files holds at most half the bound, so together
        // they never pass it; a line longer than half still goes into an
        // empty file.
        if (file.valid() && GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
            static_cast<u64>(size.QuadPart) + line.size() > boundBytes / 2) {
            file.reset();
            if (MoveFileExW(path.c_str(), (dir + L"\\" + kOlderFileName).c_str(), MOVEFILE_REPLACE_EXISTING))
                file.reset(openForAppend(path));
        }
        DWORD done = 0;
        written = file.valid() &&
                  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr) &&
                  done == line.size();
    }
    if (!ownMarker().empty()) {
        DeleteFileW(ownMarker().c_str());
        ownMarker().clear();
    }
    return written;
}
