#pragma once
// A shared result that is set exactly once: Future is a reference-counted
// handle to one FutureRep; observers registered on it are told the value, in
// registration order, on the thread that sets it. A second set ends the
// process.
//
// Readers that want to wait use get(): the state's gate is closed when it is
// created and opened by set(), possibly on another thread.
#include "Log.h"
#include "MemShield.h"
#include "Mutex.h"
#include "RcStatus.h"

#include <atomic>
#include <new>
#include <string>
#include <vector>

template <class T> class FutureObserver {
public:
    virtual ~FutureObserver() = default;
    virtual void onFutureSet(T value) = 0;
};

namespace FutureInternal {

template <class T> struct FutureRep {
    FutureRep() : m_value(), m_bSet(false), m_refs(1) { m_gate.lock(); }

    UnownedMutex m_gate;
    Mutex m_mutex;
    T m_value;
    bool m_bSet;
    std::vector<FutureObserver<T>*> m_observers; // not owned
    std::atomic<u32> m_refs;
};

template <class T> class Future {
public:
    Future() : m_rep(create()) {}
    Future(const Future& other) : m_rep(other.m_rep) {
        m_rep->m_refs.fetch_add(1, std::memory_order_relaxed);
    }
    Future& operator=(const Future& other) {
        if (other.m_rep != m_rep) {
            other.m_rep->m_refs.fetch_add(1, std::memory_order_relaxed);
            release();
            m_rep = other.m_rep;
        }
        return *this;
    }
    ~Future() { release(); }

    void set(T value) {
        FutureRep<T>* tempSmartPtr = m_rep;
        MutexGuard guard(tempSmartPtr->m_mutex);
        ORV_ASSERT_LABELED("FutureInternal::Future<" + labelTypeName<T>() + ">::set", !tempSmartPtr->m_bSet);
        tempSmartPtr->m_bSet = true;
        tempSmartPtr->m_value = value;
        tempSmartPtr->m_gate.unlock();
        for (FutureObserver<T>* observer : tempSmartPtr->m_observers)
            observer->onFutureSet(value);
    }

    // An observer added after the value was set is told at once: it would
    // otherwise wait for a call that never comes.
    void addObserver(FutureObserver<T>* observer) {
        MutexGuard guard(m_rep->m_mutex);
        if (m_rep->m_bSet)
            observer->onFutureSet(m_rep->m_value);
        else
            m_rep->m_observers.push_back(observer);
    }

    bool isSet() {
        MutexGuard guard(m_rep->m_mutex);
        return m_rep->m_bSet;
    }

    // Waits until the value is set, then returns it.
    T get() {
        m_rep->m_gate.lock();
        m_rep->m_gate.unlock();
        MutexGuard guard(m_rep->m_mutex);
        return m_rep->m_value;
    }

private:
    // Shield mode registers the state with MemShield; otherwise it is a plain
    // allocation (states come and go with timers and are not worth a header).
    static FutureRep<T>* create() {
        if (!g_memShieldEnabled)
            return new FutureRep<T>();
        void* memory = MemShield::instance()->internalAllocAndRegister(sizeof(FutureRep<T>), 0,
                                                                       "FutureRep<T>", __FILE__, __LINE__);
        return ::new (memory) FutureRep<T>();
    }
    void release() {
        if (m_rep->m_refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
            return;
        if (!g_memShieldEnabled) {
            delete m_rep;
            return;
        }
        m_rep->~FutureRep<T>();
        MemShield::instance()->verifyPtr(m_rep, __FILE__, __LINE__);
        MemShield::instance()->freeAndUnregister(m_rep, __FILE__, __LINE__);
    }

    FutureRep<T>* m_rep;
};

} // namespace FutureInternal

using FutureInternal::Future;
using FutureInternal::FutureRep;
