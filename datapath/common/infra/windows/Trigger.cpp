#include "../Trigger.h"

#include "../Log.h"

#include <windows.h>

Trigger::Trigger() : m_handle(CreateEventA(NULL, FALSE, FALSE, NULL)) {
    ORV_ASSERT(m_handle != NULL);
}

Trigger::~Trigger() {
    CloseHandle(m_handle);
}

void Trigger::set() {
    SetEvent(m_handle);
}

void Trigger::wait() {
    WaitForSingleObject(m_handle, INFINITE);
}
