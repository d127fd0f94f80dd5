// Configuration lines (UTF-8; blanks around keys and values are ignored; empty
// lines and lines starting with '#' too). HR is "0x" + hex or a decimal,
// MS a decimal number of milliseconds. A key may be given again: for the
// rules the last matching line wins, for the settings the last line.
//
//   fail.METHOD[#N][@S]=HR        (HR a failure) METHOD (any IVssBackupComponents method, or
//                                 CreateVssBackupComponentsInternal) returns HR
//                                 and does nothing else; #N: only its N-th call
//                                 in a session; @S: only in session S (from 1)
//   async.METHOD[#N][@S]=TERMS    the operation returned by METHOD (GatherWriterMetadata,
//                                 PrepareForBackup, DoSnapshotSet, BackupComplete,
//                                 GatherWriterStatus); TERMS, comma-separated:
//                                   finished      completes with VSS_S_ASYNC_FINISHED (default)
//                                   status:HR     completes with HR
//                                   never         never completes (DoSnapshotSet still
//                                                 plays the freeze)
//                                   delay:MS      completes MS later
//                                   wait:HR       Wait returns HR at once
//                                   query:HR      QueryStatus returns HR
//   writer=NAME|STATE|FAILURE[|WRITERID|INSTANCEID]
//                                 one writer per line, in order (STATE a VSS_WRITER_STATE
//                                 number, FAILURE an HR, ids as {GUID}); the first writer
//                                 line replaces the default single stable writer
//   writers=none                  no writers at all
//   refuse.volume=FRAGMENT|HR     AddToSnapshotSet of a volume whose name contains
//                                 FRAGMENT (ASCII case ignored) returns HR
//   freeze=now|delay:MS|none      the provider sets the quiesced event at once, MS later,
//                                 or never (then it still waits for the thaw, and vetoes)
//   thaw.wait.ms=MS               how long the provider waits for the thaw (default 10000)
//   events.missing=finish|veto    when the provider's events do not exist: take the
//                                 snapshot without a freeze (default), or veto
//   wait.timeout.hr=HR            what IVssAsync::Wait returns when its time-out elapses
//                                 (default 0x80070102, HRESULT_FROM_WIN32(WAIT_TIMEOUT))
//   wait.infinite.ms=MS           the bound that stands for an INFINITE Wait (default 60000)
#include "StandInConfig.h"

#include "../TestbedCommon.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {
const char* const kMethods[] = {"CreateVssBackupComponentsInternal",
                                "GetWriterComponentsCount",
                                "GetWriterComponents",
                                "InitializeForBackup",
                                "SetBackupState",
                                "InitializeForRestore",
                                "SetRestoreState",
                                "GatherWriterMetadata",
                                "GetWriterMetadataCount",
                                "GetWriterMetadata",
                                "FreeWriterMetadata",
                                "AddComponent",
                                "PrepareForBackup",
                                "AbortBackup",
                                "GatherWriterStatus",
                                "GetWriterStatusCount",
                                "FreeWriterStatus",
                                "GetWriterStatus",
                                "SetBackupSucceeded",
                                "SetBackupOptions",
                                "SetSelectedForRestore",
                                "SetRestoreOptions",
                                "SetAdditionalRestores",
                                "SetPreviousBackupStamp",
                                "SaveAsXML",
                                "BackupComplete",
                                "AddAlternativeLocationMapping",
                                "AddRestoreSubcomponent",
                                "SetFileRestoreStatus",
                                "AddNewTarget",
                                "SetRangesFilePath",
                                "PreRestore",
                                "PostRestore",
                                "SetContext",
                                "StartSnapshotSet",
                                "AddToSnapshotSet",
                                "DoSnapshotSet",
                                "DeleteSnapshots",
                                "ImportSnapshots",
                                "BreakSnapshotSet",
                                "GetSnapshotProperties",
                                "Query",
                                "IsVolumeSupported",
                                "DisableWriterClasses",
                                "EnableWriterClasses",
                                "DisableWriterInstances",
                                "ExposeSnapshot",
                                "RevertToSnapshot",
                                "QueryRevertStatus"};
const char* const kAsyncMethods[] = {"GatherWriterMetadata", "PrepareForBackup", "DoSnapshotSet",
                                     "BackupComplete", "GatherWriterStatus"};

template <size_t N> bool listed(const char* const (&names)[N], const std::string& name) {
    for (const char* known : names)
        if (name == known)
            return true;
    return false;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(trimmed(part));
    if (!text.empty() && text.back() == separator)
        parts.push_back("");
    return parts;
}

bool parseHr(const std::string& text, HRESULT& hr) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        unsigned long long value = std::strtoull(text.c_str() + 2, &end, 16);
        if (*end != '\0' || errno != 0 || value > 0xFFFFFFFFull || text[2] == '-' || text[2] == '+')
            return false;
        hr = static_cast<HRESULT>(static_cast<unsigned long>(value));
        return true;
    }
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < -2147483648ll || value > 0xFFFFFFFFll)
        return false;
    hr = static_cast<HRESULT>(static_cast<unsigned long>(value));
    return true;
}

bool parseMs(const std::string& text, DWORD& ms) {
    unsigned long value = 0;
    std::wstring wide(text.begin(), text.end());
    if (!parseNumber(wide.c_str(), value, 0x7FFFFFFF))
        return false;
    ms = value;
    return true;
}

bool parseGuid(const std::string& text, GUID& guid) {
    unsigned long data1 = 0;
    unsigned data2 = 0, data3 = 0, b[8] = {};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &data1, &data2, &data3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &consumed) != 11 ||
        consumed != 38 || text.size() != 38)
        return false;
    guid.Data1 = data1;
    guid.Data2 = static_cast<unsigned short>(data2);
    guid.Data3 = static_cast<unsigned short>(data3);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<unsigned char>(b[i]);
    return true;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// "METHOD[#N][@S]" after the "fail." or "async." prefix.
bool parseRuleTarget(const std::string& text, std::string& method, RuleScope& scope) {
    size_t end = text.find_first_of("#@");
    method = text.substr(0, end);
    while (end != std::string::npos) {
        char mark = text[end];
        size_t next = text.find_first_of("#@", end + 1);
        unsigned long number = 0;
        std::string digits =
            text.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
        std::wstring wide(digits.begin(), digits.end());
        if (!parseNumber(wide.c_str(), number, 0xFFFF) || number == 0)
            return false;
        (mark == '#' ? scope.call : scope.session) = number;
        end = next;
    }
    return !method.empty();
}

bool parseAsyncTerms(const std::string& text, AsyncPlan& plan) {
    for (const std::string& term : split(text, ',')) {
        size_t colon = term.find(':');
        const std::string name = term.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : term.substr(colon + 1);
        bool ok = true;
        if (term == "finished") {
            plan.statusGiven = false;
            plan.never = false;
        } else if (term == "never") {
            plan.never = true;
        } else if (name == "status" && colon != std::string::npos) {
            ok = parseHr(value, plan.status);
            plan.statusGiven = true;
        } else if (name == "delay" && colon != std::string::npos) {
            ok = parseMs(value, plan.delayMs);
        } else if (name == "wait" && colon != std::string::npos) {
            ok = parseHr(value, plan.waitHr);
            plan.waitFails = true;
        } else if (name == "query" && colon != std::string::npos) {
            ok = parseHr(value, plan.queryHr);
            plan.queryFails = true;
        } else {
            ok = false;
        }
        if (!ok)
            return false;
    }
    return true;
}

// Ids of writers given without them: {5EA0000N-0000-0000-0000-00000000000K},
// K 1 for the writer class, 2 for the instance.
GUID defaultWriterGuid(size_t index, unsigned char kind) {
    GUID guid = {static_cast<unsigned long>(0x5EA00000u + index), 0, 0, {0, 0, 0, 0, 0, 0, 0, kind}};
    return guid;
}

bool parseWriter(const std::string& text, size_t index, WriterSpec& writer) {
    std::vector<std::string> parts = split(text, '|');
    if (parts.size() != 3 && parts.size() != 5)
        return false;
    unsigned long state = 0;
    std::wstring stateText(parts[1].begin(), parts[1].end());
    if (!parseNumber(stateText.c_str(), state, 0xFFFF) || !parseHr(parts[2], writer.failure))
        return false;
    writer.name = fromUtf8(parts[0]);
    writer.state = static_cast<VSS_WRITER_STATE>(state);
    writer.writerId = defaultWriterGuid(index, 1);
    writer.instanceId = defaultWriterGuid(index, 2);
    return parts.size() == 3 ||
           (parseGuid(parts[3], writer.writerId) && parseGuid(parts[4], writer.instanceId));
}

bool rejected(std::string& why, const char* reason) {
    why = reason;
    return false;
}

bool parseLine(const std::string& key, const std::string& value, StandInConfig& config, bool& writersGiven,
               std::string& why) {
    if (key.compare(0, 5, "fail.") == 0) {
        StandInConfig::CallFailure failure;
        if (!parseRuleTarget(key.substr(5), failure.method, failure.scope))
            return rejected(why, "expected fail.METHOD[#N][@S] with N and S from 1");
        if (!listed(kMethods, failure.method))
            return rejected(why, "unknown method");
        if (!parseHr(value, failure.hr) || SUCCEEDED(failure.hr))
            return rejected(why, "expected a failing HRESULT");
        config.failures.push_back(failure);
        return true;
    }
    if (key.compare(0, 6, "async.") == 0) {
        StandInConfig::AsyncRule rule;
        if (!parseRuleTarget(key.substr(6), rule.method, rule.scope))
            return rejected(why, "expected async.METHOD[#N][@S] with N and S from 1");
        if (!listed(kAsyncMethods, rule.method))
            return rejected(why, "not an asynchronous method");
        if (!parseAsyncTerms(value, rule.plan))
            return rejected(why, "expected finished, never, status:HR, delay:MS, wait:HR or query:HR");
        config.asyncRules.push_back(rule);
        return true;
    }
    if (key == "writer") {
        if (!writersGiven)
            config.writers.clear();
        writersGiven = true;
        WriterSpec writer;
        if (!parseWriter(value, config.writers.size(), writer))
            return rejected(why, "expected NAME|STATE|FAILURE[|{WRITER ID}|{INSTANCE ID}]");
        config.writers.push_back(writer);
        return true;
    }
    if (key == "writers") {
        if (value != "none")
            return rejected(why, "expected none");
        config.writers.clear();
        writersGiven = true;
        return true;
    }
    if (key == "refuse.volume") {
        size_t bar = value.rfind('|');
        StandInConfig::VolumeRefusal refusal;
        if (bar == std::string::npos || !parseHr(trimmed(value.substr(bar + 1)), refusal.hr))
            return rejected(why, "expected FRAGMENT|HR");
        refusal.fragment = fromUtf8(trimmed(value.substr(0, bar)));
        config.refusals.push_back(refusal);
        return true;
    }
    if (key == "freeze") {
        if (value == "now" || value == "none") {
            config.freeze = value == "now" ? FreezeMode::Now : FreezeMode::None;
            return true;
        }
        if (value.compare(0, 6, "delay:") == 0 && parseMs(value.substr(6), config.freezeDelayMs)) {
            config.freeze = FreezeMode::Delayed;
            return true;
        }
        return rejected(why, "expected now, delay:MS or none");
    }
    if (key == "thaw.wait.ms")
        return parseMs(value, config.thawWaitMs) || rejected(why, "expected milliseconds");
    if (key == "events.missing") {
        if (value != "finish" && value != "veto")
            return rejected(why, "expected finish or veto");
        config.vetoWithoutEvents = value == "veto";
        return true;
    }
    if (key == "wait.timeout.hr")
        return parseHr(value, config.waitTimeoutHr) || rejected(why, "expected an HRESULT");
    if (key == "wait.infinite.ms")
        return parseMs(value, config.infiniteWaitMs) || rejected(why, "expected milliseconds");
    return rejected(why, "unknown key");
}

bool containsNoCase(const std::wstring& text, const std::wstring& fragment) {
    auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    if (fragment.size() > text.size())
        return false;
    for (size_t at = 0; at + fragment.size() <= text.size(); ++at) {
        size_t i = 0;
        while (i < fragment.size() && lower(text[at + i]) == lower(fragment[i]))
            ++i;
        if (i == fragment.size())
            return true;
    }
    return false;
}
} // namespace

bool StandInConfig::failureFor(const std::string& method, unsigned call, unsigned session,
                               HRESULT& hr) const {
    bool found = false;
    for (const CallFailure& failure : failures)
        if (failure.method == method && failure.scope.matches(call, session)) {
            hr = failure.hr;
            found = true;
        }
    return found;
}

AsyncPlan StandInConfig::asyncPlanFor(const std::string& method, unsigned call, unsigned session) const {
    AsyncPlan plan;
    for (const AsyncRule& rule : asyncRules)
        if (rule.method == method && rule.scope.matches(call, session))
            plan = rule.plan;
    return plan;
}

bool StandInConfig::refusalFor(const std::wstring& volume, HRESULT& hr) const {
    bool found = false;
    for (const VolumeRefusal& refusal : refusals)
        if (containsNoCase(volume, refusal.fragment)) {
            hr = refusal.hr;
            found = true;
        }
    return found;
}

bool parseStandInConfig(const std::string& text, StandInConfig& config, std::string& error) {
    config.writers.assign(1, WriterSpec());
    config.writers[0].name = L"Stand-in Writer";
    config.writers[0].writerId = defaultWriterGuid(0, 1);
    config.writers[0].instanceId = defaultWriterGuid(0, 2);
    bool writersGiven = false;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        line = trimmed(line);
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line = trimmed(line.substr(3));
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        std::string why = "expected key=value";
        if (eq == std::string::npos || !parseLine(trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1)),
                                                  config, writersGiven, why)) {
            error = "line " + std::to_string(number) + ": " + why + ": " + line;
            return false;
        }
    }
    return true;
}

bool loadStandInConfig(StandInConfig& config, std::string& source, std::string& error) {
    wchar_t path[MAX_PATH * 4];
    DWORD length = GetEnvironmentVariableW(L"ORVEL_VSS_STANDIN_CONFIG", path, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) {
        source = "(defaults)";
        return parseStandInConfig("", config, error);
    }
    char narrow[MAX_PATH * 12];
    WideCharToMultiByte(CP_UTF8, 0, path, -1, narrow, sizeof(narrow), nullptr, nullptr);
    source = narrow;
    Handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        error = "cannot open the configuration: error " + std::to_string(GetLastError());
        return false;
    }
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        text.append(chunk, got);
    return parseStandInConfig(text, config, error);
}
