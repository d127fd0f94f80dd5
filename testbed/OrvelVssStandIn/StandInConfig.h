#pragma once
// What a test asks of the stand-in shadow-copy service: one "key=value" line
// per wish, so that adding a fault case is adding one line. The keys are
// listed at the top of StandInConfig.cpp and in README.md beside it.
#include <windows.h>

#include <vss.h>

#include <string>
#include <vector>

// Where a rule applies: every call of its method, or only the n-th call (from
// 1) within a session, and every session or only the n-th (a session is one
// backup-components object; the agent makes two per run).
struct RuleScope {
    unsigned call = 0;    // 0: any
    unsigned session = 0; // 0: any
    bool matches(unsigned callNumber, unsigned sessionNumber) const {
        return (call == 0 || call == callNumber) && (session == 0 || session == sessionNumber);
    }
};

// How one asynchronous operation behaves.
struct AsyncPlan {
    bool never = false;       // never completes
    bool statusGiven = false; // completes with `status` instead of its own outcome
    HRESULT status = VSS_S_ASYNC_FINISHED;
    DWORD delayMs = 0;      // completes this much later than it would
    bool waitFails = false; // Wait returns `waitHr` at once
    HRESULT waitHr = S_OK;
    bool queryFails = false; // QueryStatus returns `queryHr`
    HRESULT queryHr = S_OK;
};

struct WriterSpec {
    std::wstring name;
    VSS_WRITER_STATE state = VSS_WS_STABLE;
    HRESULT failure = S_OK;
    GUID writerId = {};
    GUID instanceId = {};
};

enum class FreezeMode { Now, Delayed, None };

struct StandInConfig {
    struct CallFailure {
        std::string method;
        RuleScope scope;
        HRESULT hr;
    };
    struct AsyncRule {
        std::string method;
        RuleScope scope;
        AsyncPlan plan;
    };
    struct VolumeRefusal {
        std::wstring fragment; // compared without regard to ASCII case
        HRESULT hr;
    };

    std::vector<CallFailure> failures;
    std::vector<AsyncRule> asyncRules;
    std::vector<WriterSpec> writers; // one stable writer unless configured
    std::vector<VolumeRefusal> refusals;
    FreezeMode freeze = FreezeMode::Now;
    DWORD freezeDelayMs = 0;
    DWORD thawWaitMs = 10000;
    bool vetoWithoutEvents = false;
    // What Wait returns when its time-out elapses first.
    HRESULT waitTimeoutHr = HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    // The bound that replaces an INFINITE Wait, so that nothing waits forever.
    DWORD infiniteWaitMs = 60000;

    // The last matching rule wins. false: the call goes ahead.
    bool failureFor(const std::string& method, unsigned call, unsigned session, HRESULT& hr) const;
    AsyncPlan asyncPlanFor(const std::string& method, unsigned call, unsigned session) const;
    bool refusalFor(const std::wstring& volume, HRESULT& hr) const;
};

// Parses the whole text; on failure `error` names the line and what is wrong.
bool parseStandInConfig(const std::string& text, StandInConfig& config, std::string& error);

// The configuration named by ORVEL_VSS_STANDIN_CONFIG, or the defaults when
// the variable is unset. `source` is the file's path or "(defaults)".
bool loadStandInConfig(StandInConfig& config, std::string& source, std::string& error);
