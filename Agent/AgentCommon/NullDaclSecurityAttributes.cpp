#include "AgentCommon/NullDaclSecurityAttributes.h"

NullDaclSecurityAttributes::NullDaclSecurityAttributes() {
    InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&m_descriptor, TRUE, nullptr, FALSE);
    m_attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
    m_attributes.bInheritHandle = FALSE;
}

HANDLE NullDaclSecurityAttributes::createEvent(const char* name) {
    NullDaclSecurityAttributes security;
    return CreateEventA(security.get(), FALSE, FALSE, name);
}
