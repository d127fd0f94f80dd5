#pragma once
// The object name of the checkpoint request: the prefix, the MAC addresses
// joined by single spaces, "/", the base64 form of the tag. Platform-free, so
// that it is tested and fuzzed natively too.
#include <string>
#include <vector>

class CheckpointObjectName {
public:
    static constexpr const wchar_t* kPrefix = L"/KosService/AgentServer/insertlicensed/";

    static std::wstring compose(const std::vector<std::wstring>& macAddresses, const std::wstring& tag);
};
