#include "VssRequester/VssNames.h"

#include <map>

namespace {
// Built before the entry point runs and only read afterwards, from any
// thread; a lookup never inserts. They hold fixed texts, so they are not
// accounted for as the process's growing containers are.
const std::map<u32, const char*> kResultNames = {
    {0x8000FFFF, "The shadow copy provider had an error. Please see the system and application event logs "
                 "for more information"},
    {0x80042301, "VSS_E_BAD_STATE"},
    {0x80042302, "VSS_E_UNEXPECTED"},
    {0x80042304, "VSS_E_PROVIDER_NOT_REGISTERED"},
    {0x80042306, "VSS_E_PROVIDER_VETO"},
    {0x80042308, "VSS_E_OBJECT_NOT_FOUND"},
    {0x8004230C, "VSS_E_VOLUME_NOT_SUPPORTED"},
    {0x8004230D, "VSS_E_OBJECT_ALREADY_EXISTS"},
    {0x8004230E, "VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER"},
    {0x8004230F, "VSS_E_UNEXPECTED_PROVIDER_ERROR"},
    {0x80042311, "VSS_E_INVALID_XML_DOCUMENT"},
    {0x80042312, "VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED"},
    {0x80042313, "The shadow copy provider timed out while flushing data to the volume being shadow copied"},
    {0x80042314, "VSS encountered problems while sending events to writers"},
    {0x80042315, "An error occurred while trying to contact VSS writers. Check for associated errors in the "
                 "event log"},
    {0x80042316, "Another shadow copy creation is already in progress. Please wait a few moments and try "
                 "again"},
    {0x80042317, "VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED"},
    {0x80042318, "An error occurred while trying to contact VSS writers. Check for associated errors in the "
                 "event log"},
    {0x80042319, "A writer did not respond to a GatherWriterStatus call the writer may either have "
                 "terminated or it may be stuck"},
    {0x80042320, "No shadow copies were successfully imported"},
    {0x80042321, "Some shadow copies were not successfully imported"},
    {0x80042324, "The remote is running a version of the Volume Shadow Copy Service that does not support "
                 "remote shadow-copy creation"},
    {0x80042325, "A revert is currently in progress for the specified volume. Another revert cannot be "
                 "initiated until the current revert completes"},
    {0x80042326, "The volume being reverted was lost during revert"},
    {0x8004232C, "VSS_E_NESTED_VOLUME_LIMIT"},
    {0x8004232A, "VSS_E_UNSELECTED_VOLUME"},
    {0x8004232B, "VSS_E_SNAPSHOT_NOT_IN_SET"},
    {0x800423F7, "VSS_E_LEGACY_PROVIDER"},
    {0x800423FE, "VSS_E_CANNOT_REVERT_DISKID"},
    {0x800423FF, "VSS_E_RESYNC_IN_PROGRESS"},
};

const std::map<u32, const char*> kWriterStateNames = {
    {0, "VSS_WS_UNKNOWN"},
    {1, "VSS_WS_STABLE"},
    {2, "VSS_WS_WAITING_FOR_FREEZE"},
    {3, "VSS_WS_WAITING_FOR_THAW"},
    {4, "VSS_WS_WAITING_FOR_POST_SNAPSHOT"},
    {5, "VSS_WS_WAITING_FOR_BACKUP_COMPLETE"},
    {6, "VSS_WS_FAILED_AT_IDENTIFY"},
    {7, "VSS_WS_FAILED_AT_PREPARE_BACKUP"},
    {8, "VSS_WS_FAILED_AT_PREPARE_SNAPSHOT"},
    {9, "VSS_WS_FAILED_AT_FREEZE"},
    {10, "VSS_WS_FAILED_AT_THAW"},
    {11, "VSS_WS_FAILED_AT_POST_SNAPSHOT"},
    {12, "VSS_WS_FAILED_AT_BACKUP_COMPLETE"},
    {13, "VSS_WS_FAILED_AT_PRE_RESTORE"},
    {14, "VSS_WS_FAILED_AT_POST_RESTORE"},
    {15, "VSS_WS_FAILED_AT_BACKUPSHUTDOWN"},
    {16, "VSS_WS_COUNT"},
};

std::string lookup(const std::map<u32, const char*>& table, u32 key) {
    auto found = table.find(key);
    if (found == table.end())
        return std::string();
    return std::string(" (") + found->second + ") ";
}

} // namespace

namespace VssNames {
std::string resultName(u32 code) {
    return lookup(kResultNames, code);
}

std::string writerStateName(u32 state) {
    return lookup(kWriterStateNames, state);
}

const char* writerStateSymbol(u32 state) {
    auto found = kWriterStateNames.find(state);
    return found == kWriterStateNames.end() ? nullptr : found->second;
}

std::string lowByteText(const wchar_t* text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (; *text != 0; ++text)
        out += static_cast<char>(static_cast<u32>(*text) & 0xFF);
    return out;
}
} // namespace VssNames
