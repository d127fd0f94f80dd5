// Record lines, besides the common fields:
//   freeze=held          quiesced_time=T thaw_time=T held_ms=N held_us=N
//   freeze=thaw_timeout  quiesced_time=T waited_ms=N           (vetoes)
//   freeze=not_frozen    thaw_time=T|thaw_timeout=1 waited_ms=N (freeze=none; vetoes)
//   freeze=no_events     quiesced_error=E thaw_error=E          (events.missing decides)
// (held_us: from just before the quiesced event is set to the thaw event
// seen, the writers' frozen window as the provider side lives it), with
// delay_ms=N when the freeze was delayed; and, just before the
// quiesced event is set (or would be):
//   registry=<frozen|not_frozen|no_events> runonce=<text>|(absent)|(no key) [runonce_type=N]
//            lastalivestamp=<hex bytes>|(absent)|(no key) [lastalivestamp_type=N]
#include "StandInProvider.h"

#include "../TestbedCommon.h"
#include "StandInRecord.h"

#include <vsserror.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {
const wchar_t kQuiescedEvent[] = L"Global\\OrvelVssQuiescedEvent";
const wchar_t kThawEvent[] = L"Global\\OrvelVssThawEvent";
const wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kRunOnceValue[] = L"OrvelVssAgent";
const wchar_t kReliabilityKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
const wchar_t kStampValue[] = L"LastAliveStamp";

struct RegistryKeyTraits {
    using Value = HKEY;
    static HKEY empty() { return nullptr; }
    static bool valid(HKEY key) { return key != nullptr; }
    static void release(HKEY key) { RegCloseKey(key); }
};
using RegistryKey = Owned<RegistryKeyTraits>;

std::string hexBytes(const std::vector<BYTE>& bytes) {
    std::string text;
    char pair[3];
    for (BYTE b : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", b);
        text += pair;
    }
    return text;
}

// Adds "<name>=..." (and "<name>_type=N" when present) for one value: strings
// as text, anything else as hex bytes.
void observeValue(RecordLine& record, const char* name, const wchar_t* keyPath, const wchar_t* valueName) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        record.field(name, "(no key)");
        return;
    }
    RegistryKey key(opened);
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        record.field(name, "(absent)");
        return;
    }
    std::vector<BYTE> data(size + sizeof(wchar_t), 0);
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
        record.field(name, "(unreadable)");
        return;
    }
    data.resize(size);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();
        record.text(name, text.c_str());
    } else {
        record.field(name, hexBytes(data));
    }
    record.number((std::string(name) + "_type").c_str(), type);
}

void observeRegistry(unsigned session, const char* moment) {
    RecordLine record(session);
    record.field("registry", moment);
    observeValue(record, "runonce", kRunOnceKey, kRunOnceValue);
    observeValue(record, "lastalivestamp", kReliabilityKey, kStampValue);
    record.write();
}

long long msBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}
} // namespace

HRESULT playProviderCommit(const StandInConfig& config, unsigned session) {
    Handle quiesced(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kQuiescedEvent));
    const DWORD quiescedError = quiesced.valid() ? 0 : GetLastError();
    Handle thaw(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kThawEvent));
    const DWORD thawError = thaw.valid() ? 0 : GetLastError();
    if (!quiesced.valid() || !thaw.valid()) {
        observeRegistry(session, "no_events");
        RecordLine(session)
            .field("freeze", "no_events")
            .number("quiesced_error", quiescedError)
            .number("thaw_error", thawError)
            .write();
        return config.vetoWithoutEvents ? VSS_E_PROVIDER_VETO : VSS_S_ASYNC_FINISHED;
    }

    if (config.freeze == FreezeMode::Delayed)
        Sleep(config.freezeDelayMs);
    const bool freezes = config.freeze != FreezeMode::None;
    observeRegistry(session, freezes ? "frozen" : "not_frozen");
    std::string quiescedTime;
    // Both taken before the event is set, so that whatever the agent does
    // once it sees the freeze comes after them.
    const auto start = std::chrono::steady_clock::now();
    if (freezes) {
        quiescedTime = utcNow();
        SetEvent(quiesced.get());
    }
    const bool thawed = WaitForSingleObject(thaw.get(), config.thawWaitMs) == WAIT_OBJECT_0;
    const auto end = std::chrono::steady_clock::now();
    const std::string thawTime = utcNow();

    RecordLine record(session);
    record.field("freeze", !freezes ? "not_frozen" : thawed ? "held" : "thaw_timeout");
    if (freezes)
        record.field("quiesced_time", quiescedTime);
    if (thawed)
        record.field("thaw_time", thawTime);
    else if (!freezes)
        record.field("thaw_timeout", "1");
    record.number(thawed && freezes ? "held_ms" : "waited_ms",
                  static_cast<unsigned long long>(msBetween(start, end)));
    if (thawed && freezes)
        record.number("held_us",
                      static_cast<unsigned long long>(
                          std::chrono::duration_cast<std::chrono::microseconds>(end - start).count()));
    if (config.freeze == FreezeMode::Delayed)
        record.number("delay_ms", config.freezeDelayMs);
    record.write();
    return freezes && thawed ? VSS_S_ASYNC_FINISHED : VSS_E_PROVIDER_VETO;
}
