#pragma once
// MemShield's active object: one thread that receives no work in this
// program. It is there so that every run carries an active object, and with
// its keepalive the dead-lock checker's thread.
#include "ActiveObject.h"
#include "Semaphore.h"
#include "Singleton.h"

class MemShieldAO : public ActiveObject, public Singleton<MemShieldAO> {
public:
    using Singleton<MemShieldAO>::instance;

    // Hands the thread, heap and pool reports to MemShield's error report,
    // then starts the active object, and through its keepalive the dead-lock
    // checker, once per process; returns when both threads have logged their
    // start. The reports are handed over here rather than where the heap or a
    // pool is created because the error report shows the heap's figures even
    // in a run that never used it.
    //
    // The entry point calls it as soon as it has registered its log clients
    // (whether or not any could be registered), so that both start records
    // reach every log of the run. Not from MemShield, nor any tracked
    // creation: the file log clients are themselves the first tracked
    // objects, so a start from there would log into none of them, or only
    // into those registered so far. Not while holding a lock that writing a
    // record or creating a tracked object needs: the new threads do both.
    static void start();

    void onThreadStart(u32 threadSeq) override;

private:
    friend class Singleton<MemShieldAO>;
    MemShieldAO();

    static bool s_forceVerbose;
    Semaphore m_threadReady;
};
