#include "StandInAsync.h"

#include "StandInRecord.h"

#include <vsserror.h>

#include <chrono>

namespace {
// Work may still run when the requester has let go of everything and even
// freed the library; the module is pinned before the first thread starts.
void pinModule() {
    static const bool pinned = [] {
        HMODULE self = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                  reinterpret_cast<LPCWSTR>(&pinModule), &self) != 0;
    }();
    (void)pinned;
}

struct Work {
    std::shared_ptr<AsyncState> state;
    AsyncPlan plan;
    std::function<HRESULT()> work;
};

void finish(Work& job) {
    HRESULT outcome = job.work ? job.work() : VSS_S_ASYNC_FINISHED;
    if (job.plan.delayMs > 0)
        Sleep(job.plan.delayMs);
    if (job.plan.never) {
        RecordLine(job.state->session())
            .field("async", job.state->operation())
            .field("status", "never")
            .hr("outcome", outcome)
            .write();
        return;
    }
    job.state->complete(job.plan.statusGiven ? job.plan.status : outcome, outcome);
}

DWORD WINAPI runWork(void* parameter) {
    std::unique_ptr<Work> job(static_cast<Work*>(parameter));
    finish(*job);
    return 0;
}

long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

class StandInAsync final : public IVssAsync {
public:
    StandInAsync(std::shared_ptr<AsyncState> state, const AsyncPlan& plan, const StandInConfig& config)
        : m_state(std::move(state)), m_plan(plan), m_waitTimeoutHr(config.waitTimeoutHr),
          m_infiniteWaitMs(config.infiniteWaitMs) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(IVssAsync))) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<IVssAsync*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG refs = InterlockedDecrement(&m_refs);
        line("Release").number("refs", static_cast<unsigned long long>(refs)).write();
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }

    HRESULT STDMETHODCALLTYPE Cancel() override {
        HRESULT hr = m_state->cancel();
        if (hr == VSS_S_ASYNC_PENDING)
            hr = S_OK;
        line("Cancel").hr("hr", hr).write();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Wait(DWORD ms) override {
        RecordLine record = line("Wait");
        record.field("ms", ms == INFINITE ? "INFINITE" : std::to_string(ms));
        if (m_plan.waitFails) {
            record.hr("hr", m_plan.waitHr).field("injected", "1").write();
            return m_plan.waitHr;
        }
        const auto start = std::chrono::steady_clock::now();
        const bool done = m_state->waitDone(ms == INFINITE ? m_infiniteWaitMs : ms);
        const HRESULT hr = done ? S_OK : m_waitTimeoutHr;
        record.number("waited_ms", static_cast<unsigned long long>(msSince(start))).hr("hr", hr);
        if (!done)
            record.field("timeout", "1");
        record.write();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* status, INT*) override {
        RecordLine record = line("QueryStatus");
        if (m_plan.queryFails) {
            record.hr("hr", m_plan.queryHr).field("injected", "1").write();
            return m_plan.queryHr;
        }
        if (status == nullptr) {
            record.hr("hr", E_INVALIDARG).write();
            return E_INVALIDARG;
        }
        *status = m_state->status();
        record.hr("status", *status).hr("hr", S_OK).write();
        return S_OK;
    }

private:
    RecordLine line(const char* call) const {
        RecordLine record(m_state->session());
        record.field("call", call).field("op", m_state->operation());
        return record;
    }

    LONG m_refs = 1;
    const std::shared_ptr<AsyncState> m_state;
    const AsyncPlan m_plan;
    const HRESULT m_waitTimeoutHr;
    const DWORD m_infiniteWaitMs;
};
} // namespace

AsyncState::AsyncState(const std::string& operation, unsigned session)
    : m_operation(operation), m_session(session), m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_status(VSS_S_ASYNC_PENDING) {}

void AsyncState::complete(HRESULT status, HRESULT outcome) {
    std::lock_guard<std::mutex> lock(m_lock);
    RecordLine record(m_session);
    record.field("async", m_operation);
    if (m_status != VSS_S_ASYNC_PENDING) {
        record.hr("status", m_status).hr("late_outcome", outcome).write();
        return;
    }
    m_status = status;
    record.hr("status", status);
    if (outcome != status)
        record.hr("outcome", outcome);
    record.write();
    SetEvent(m_done.get());
}

HRESULT AsyncState::cancel() {
    std::lock_guard<std::mutex> lock(m_lock);
    HRESULT before = m_status;
    if (m_status == VSS_S_ASYNC_PENDING) {
        m_status = VSS_S_ASYNC_CANCELLED;
        RecordLine(m_session).field("async", m_operation).hr("status", m_status).write();
        SetEvent(m_done.get());
    }
    return before;
}

bool AsyncState::waitDone(DWORD ms) const {
    return WaitForSingleObject(m_done.get(), ms) == WAIT_OBJECT_0;
}

HRESULT AsyncState::status() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_status;
}

IVssAsync* newAsyncObject(const std::shared_ptr<AsyncState>& state, const AsyncPlan& plan,
                          const StandInConfig& config) {
    return new StandInAsync(state, plan, config);
}

void launchAsync(const std::shared_ptr<AsyncState>& state, const AsyncPlan& plan,
                 std::function<HRESULT()> work) {
    std::unique_ptr<Work> job(new Work{state, plan, std::move(work)});
    if (!job->work && plan.delayMs == 0) {
        finish(*job);
        return;
    }
    pinModule();
    Handle thread(CreateThread(nullptr, 0, runWork, job.get(), 0, nullptr));
    if (!thread.valid()) {
        HRESULT error = HRESULT_FROM_WIN32(GetLastError());
        state->complete(error, error);
        return;
    }
    job.release(); // the thread owns it now
}
