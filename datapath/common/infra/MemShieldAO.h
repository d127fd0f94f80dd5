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

    void onThreadStart(u32 threadSeq) override;

private:
    friend class Singleton<MemShieldAO>;
    MemShieldAO();

    static bool s_forceVerbose;
    Semaphore m_threadReady;
};
