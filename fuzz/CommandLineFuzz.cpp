// The command-line parser: the input is the argument vector after the
// program name as Windows hands it to wmain, UTF-16LE code units with a zero
// unit between arguments. A usage error must give 1, a backupType that is
// not a number must throw one of the two exceptions ArgumentsParser.h names,
// and a parse that succeeds must hold exactly what the arguments say.
#include "AgentCommon/AgentArguments.h"
#include "AgentCommon/ArgsParserUtils.h"
#include "AgentCommon/ArgumentsParser.h"
#include "AssertionWatch.h"
#include "FuzzCheck.h"

#include <cstdint>
#include <iostream>
#include <stdexcept>

namespace {
const size_t kMaxArguments = 64;

std::vector<std::wstring> argumentsOf(const uint8_t* data, size_t size) {
    std::vector<std::wstring> arguments{L"OrvelVssAgent.exe", L""};
    for (size_t i = 0; i + 1 < size; i += 2) {
        wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit != 0)
            arguments.back() += unit;
        else if (arguments.size() < kMaxArguments)
            arguments.emplace_back();
    }
    return arguments;
}

bool endsWithComma(const std::wstring& text) {
    return !text.empty() && text.back() == L',';
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    AssertionWatch::install();
    std::cout.setstate(std::ios::badbit); // the usage line and the keyword errors
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::wstring> arguments = argumentsOf(data, size);
    std::vector<const wchar_t*> argv;
    for (const std::wstring& argument : arguments)
        argv.push_back(argument.c_str());
    const int argc = static_cast<int>(argv.size());

    ArgsParserUtils::printArgs(argc, argv.data());
    AgentArguments parsed;
    int result = -1;
    try {
        result = ParseDr(argc, argv.data(), parsed);
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(std::string(e.what()) == "invalid stoul argument");
        return 0;
    } catch (const std::out_of_range& e) {
        FUZZ_CHECK(std::string(e.what()) == "stoul argument out of range");
        return 0;
    }
    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 1)
        return 0;

    FUZZ_CHECK(argc >= 6 && !parsed.m_tag.empty());
    FUZZ_CHECK(parsed.m_localUrl == arguments[1] && parsed.m_localPort == arguments[2] &&
               parsed.m_peerUrl == arguments[3] && parsed.m_peerPort == arguments[4] &&
               parsed.m_tag == arguments[5]);
    KeywordMap keywords;
    FUZZ_CHECK(parse_keyword_args(allowedKeywords(), keywords, argc, argv.data()) == 0);
    for (const auto& keyword : keywords)
        FUZZ_CHECK(keyword.first == L"volumes" || keyword.first == L"backupType");

    const ArgsRequester& requester = parsed.m_snapshotFlow.m_argsRequester;
    KeywordMap::const_iterator volumes = keywords.find(L"volumes");
    if (volumes == keywords.end()) {
        FUZZ_CHECK(requester.m_volumes.empty());
    } else {
        // The pieces joined again give the value, less a trailing ",".
        std::wstring joined;
        for (size_t i = 0; i < requester.m_volumes.size(); ++i) {
            FUZZ_CHECK(requester.m_volumes[i].find(L',') == std::wstring::npos);
            joined += (i == 0 ? L"" : L",") + requester.m_volumes[i];
        }
        FUZZ_CHECK(joined + (endsWithComma(volumes->second) ? L"," : L"") == volumes->second);
    }
    KeywordMap::const_iterator backupType = keywords.find(L"backupType");
    FUZZ_CHECK(requester.m_backupType ==
               (backupType == keywords.end()
                    ? -1
                    : static_cast<int>(static_cast<unsigned int>(stoul32(backupType->second)))));
    return 0;
}
