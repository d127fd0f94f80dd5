#pragma once
// Readable names for the log: shadow-copy result codes and writer states,
// and the GUID text conversion of the writer records. Platform-free,
// so that the tables and conversions are tested natively too.
#include "Types.h"

#include <string>

namespace VssNames {
// " (" + name + ") " for a code in the result table, else the empty text:
// meant to follow the hexadecimal number directly. Some entries are
// sentences rather than symbolic names, and 0x80042315 and 0x80042318 share
// one.
std::string resultName(u32 code);
// The same for a VSS_WRITER_STATE value.
std::string writerStateName(u32 state);
// The state's symbolic name alone, or null when the state is unknown.
const char* writerStateSymbol(u32 state);

// The low byte of each unit up to the terminating zero; null gives the
// empty text. Only for texts known to be ASCII, such as GUID texts.
std::string lowByteText(const wchar_t* text);
} // namespace VssNames
