#pragma once
// The default mode's command line:
//   <local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]
// Usage errors are reported on standard output and give 1. A backupType that
// is not a number throws (std::invalid_argument / std::out_of_range) and is
// left to the caller's last-resort handler.
#include "AgentCommon/AgentArguments.h"

#include <map>
#include <string>
#include <vector>

typedef std::map<std::wstring, std::wstring> KeywordMap;

// The keywords accepted after the positional arguments, in listing order.
const std::vector<std::wstring>& allowedKeywords();

int ParseDr(int argc, const wchar_t* const* argv, AgentArguments& arguments);

// Reads argv[6..]; 0 on success, -1 after reporting a malformed or unknown
// keyword. A keyword given twice keeps its first value.
int parse_keyword_args(const std::vector<std::wstring>& allowed, KeywordMap& keywords, int argc,
                       const wchar_t* const* argv);

void printUsage();

// std::stoul with base 10 for a 32-bit unsigned long, with the exception texts
// that the agent's callers see: "invalid stoul argument" and "stoul argument
// out of range".
unsigned long stoul32(const std::wstring& text);

// "a,,b," -> {"a", "", "b"}: pieces as a stream reader takes lines with ","
// as the line end; a trailing "," adds nothing.
std::vector<std::wstring> splitVolumes(const std::wstring& value);
