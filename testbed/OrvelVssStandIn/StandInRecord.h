#pragma once
// The record of what the stand-in shadow-copy service was asked and did: the
// file named by ORVEL_VSS_STANDIN_RECORD (nothing is recorded when it is
// unset), appended one whole line per write so that a reader sees each line
// at once and two processes may share the file. A line is tab-separated
// "name=value" fields, ended by "\n", always starting with
//   time=<UTC YYYY-MM-DD hh:mm:ss.mmm>  pid=<process id>  session=<n>
// Control characters inside a value are written as '?'.
#include <windows.h>

#include "../TestbedCommon.h"

#include <string>

class RecordLine {
public:
    explicit RecordLine(unsigned session);
    RecordLine& field(const char* name, const std::string& value);
    RecordLine& text(const char* name, const wchar_t* value); // UTF-8; null: "(null)"
    RecordLine& number(const char* name, unsigned long long value);
    RecordLine& hr(const char* name, HRESULT value); // 0x%08x
    RecordLine& guid(const char* name, const GUID& value);
    void write();

private:
    std::string m_line;
};

std::string hrText(HRESULT value);
std::string guidText(const GUID& value); // braced, upper case
std::string utf8(const wchar_t* value);
