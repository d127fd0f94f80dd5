#include "AgentCommon/ArgumentsParser.h"

#include "AgentCommon/TextConversion.h"
#include "Log.h"

#include <cwctype>
#include <iostream>
#include <stdexcept>

namespace {
const int kPositionalCount = 5;
} // namespace

const std::vector<std::wstring>& allowedKeywords() {
    static const std::vector<std::wstring> keywords = {L"volumes", L"backupType"};
    return keywords;
}

void printUsage() {
    std::cout << "Usage: "
              << "OrvelVssAgent.exe"
              << " <local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]" << std::endl;
    LOG(LogError) << "Had to print usage" << std::endl;
}

unsigned long stoul32(const std::wstring& text) {
    const unsigned long long kMax = 0xFFFFFFFFull;
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    size_t firstDigit = i;
    unsigned long long value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + static_cast<unsigned long long>(text[i] - L'0');
        if (value > kMax) {
            overflow = true;
            value = kMax;
        }
    }
    if (i == firstDigit)
        throw std::invalid_argument("invalid stoul argument");
    if (overflow)
        throw std::out_of_range("stoul argument out of range");
    // strtoul negates in the unsigned type: "-1" is the largest value.
    return static_cast<unsigned long>(negative ? (kMax + 1 - value) & kMax : value);
}

std::vector<std::wstring> splitVolumes(const std::wstring& value) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start < value.size()) {
        size_t comma = value.find(L',', start);
        if (comma == std::wstring::npos) {
            pieces.push_back(value.substr(start));
            break;
        }
        pieces.push_back(value.substr(start, comma - start));
        start = comma + 1;
    }
    return pieces;
}

int parse_keyword_args(const std::vector<std::wstring>& allowed, KeywordMap& keywords, int argc,
                       const wchar_t* const* argv) {
    keywords.clear();
    for (int i = kPositionalCount + 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        size_t eq = argument.find(L'=');
        if (eq == std::wstring::npos) {
            std::cout << narrowText(argument) << " is not in keyword=value format" << std::endl;
            return -1;
        }
        std::wstring keyword = argument.substr(0, eq);
        std::wstring value = argument.substr(eq + 1);
        bool known = false;
        for (const std::wstring& k : allowed)
            known = known || k == keyword;
        if (!known) {
            std::cout << "Keyword is not recognized: " << narrowText(keyword) << std::endl;
            std::cout << "Allowed keywords: ";
            for (const std::wstring& k : allowed)
                std::cout << narrowText(k) << ",";
            std::cout << std::endl;
            return -1;
        }
        keywords.emplace(keyword, value);
        LOG(LogInfo) << "Keyword argument - " << narrowText(keyword) << ": " << narrowText(value)
                     << std::endl;
    }
    return 0;
}

int ParseDr(int argc, const wchar_t* const* argv, AgentArguments& arguments) {
    if (argc < kPositionalCount + 1) {
        printUsage();
        return 1;
    }
    arguments.m_localUrl = argv[1];
    arguments.m_localPort = argv[2];
    arguments.m_peerUrl = argv[3];
    arguments.m_peerPort = argv[4];
    arguments.m_tag = argv[5];

    KeywordMap keywords;
    if (parse_keyword_args(allowedKeywords(), keywords, argc, argv) != 0 || arguments.m_tag.empty()) {
        printUsage();
        return 1;
    }

    ArgsRequester& requester = arguments.m_snapshotFlow.m_argsRequester;
    KeywordMap::const_iterator volumes = keywords.find(L"volumes");
    if (volumes != keywords.end())
        requester.m_volumes = splitVolumes(volumes->second);

    requester.m_backupType = -1;
    KeywordMap::const_iterator backupType = keywords.find(L"backupType");
    if (backupType != keywords.end()) {
        requester.m_backupType = static_cast<int>(static_cast<unsigned int>(stoul32(backupType->second)));
        LOG(LogInfo) << "Backup type is modified to: "
                     << " arguments.m_snapshotFlow.m_argsRequester.m_backupType="
                     << static_cast<unsigned int>(requester.m_backupType) << " " << std::endl;
    }
    return 0;
}
