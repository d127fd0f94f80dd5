#include "../Trigger.h"

#include "../Log.h"

#include <windows.h>

Trigger::Trigger() : m_handle(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    ORV_ASSERT(m_handle != nullptr);
}

Trigger::~Trigger() {
    CloseHandle(static_cast<HANDLE>(m_handle));
}

void Trigger::set() {
    SetEvent(static_cast<HANDLE>(m_handle));
}

void Trigger::wait() {
    WaitForSingleObject(static_cast<HANDLE>(m_handle), INFINITE);
}

bool Trigger::waitFor(u32 ms) {
    return WaitForSingleObject(static_cast<HANDLE>(m_handle), ms) == WAIT_OBJECT_0;
}
