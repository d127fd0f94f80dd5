#pragma once
// Create-on-first-use singletons that are never destroyed, so that threads
// still running while the process ends can use them safely.
//
// The pointer is tested without a lock, then again under a per-class mutex,
// and published only after construction has finished.
#include "Mutex.h"

#include <atomic>

template <class T> class Singleton {
public:
    static T* instance() {
        T* p = s_instance.load(std::memory_order_acquire);
        if (p != nullptr)
            return p;
        MutexGuard guard(creationMutex());
        p = s_instance.load(std::memory_order_relaxed);
        if (p == nullptr) {
            p = new T();
            s_instance.store(p, std::memory_order_release);
        }
        return p;
    }

protected:
    Singleton() = default;
    ~Singleton() = default;

private:
    // A function-local object that is never destroyed, so a singleton can be
    // created even while static destructors run.
    static Mutex& creationMutex() {
        static Mutex* m = new Mutex();
        return *m;
    }
    static std::atomic<T*> s_instance;
};

template <class T> std::atomic<T*> Singleton<T>::s_instance{nullptr};
