#include "VssRequester/CheckpointObjectName.h"

#include <gtest/gtest.h>

TEST(CheckpointObjectName, AddressesJoinedBySpacesThenTheEncodedTag) {
    const struct {
        std::vector<std::wstring> macs;
        std::wstring tag;
        const wchar_t* name;
    } rows[] = {
        {{L"001122334455", L"66778899aabb"},
         L"abc",
         L"/KosService/AgentServer/insertlicensed/001122334455 66778899aabb/YQBiAGMA"},
        {{L"001122334455"}, L"a", L"/KosService/AgentServer/insertlicensed/001122334455/YQA="},
        {{}, L"", L"/KosService/AgentServer/insertlicensed//"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.name, CheckpointObjectName::compose(row.macs, row.tag));
}
