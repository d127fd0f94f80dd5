#pragma once
// Security attributes for the agent's named objects: a descriptor with a
// present but empty (NULL) access list, which lets every account open them.
// The provider runs as a service account and the runner as whoever started
// it; both must be able to open, wait on and set what the agent creates.
#include <windows.h>

class NullDaclSecurityAttributes {
public:
    NullDaclSecurityAttributes();
    NullDaclSecurityAttributes(const NullDaclSecurityAttributes&) = delete;
    NullDaclSecurityAttributes& operator=(const NullDaclSecurityAttributes&) = delete;

    // Points into this object: valid while it lives.
    SECURITY_ATTRIBUTES* get() { return &m_attributes; }

    // Creates the named auto-reset event, initially not set, with these
    // attributes, or opens it when it exists; NULL when neither works.
    static HANDLE createEvent(const char* name);

private:
    SECURITY_DESCRIPTOR m_descriptor;
    SECURITY_ATTRIBUTES m_attributes;
};
