// Known answers for the checkpoint request's object name; the fuzz target
// checks its structure and the base64 alphabet ('-' at index 63) on any input.
#include "VssRequester/CheckpointObjectName.h"

#include <gtest/gtest.h>

TEST(CheckpointObjectName, AddressesJoinedBySpacesThenTheTagAsBase64OfUtf16Le) {
    const struct {
        std::vector<std::wstring> macs;
        std::wstring tag;
        const wchar_t* name;
    } rows[] = {
        {{L"001122334455", L"66778899aabb"},
         L"abc",
         L"/KosService/AgentServer/insertlicensed/001122334455 66778899aabb/YQBiAGMA"},
        {{L"001122334455"}, L"\u00e9", L"/KosService/AgentServer/insertlicensed/001122334455/6QA="},
        {{}, L"", L"/KosService/AgentServer/insertlicensed//"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.name, CheckpointObjectName::compose(row.macs, row.tag));
}
