#ifdef _WIN32
#include "support/StandInRunTest.h"

const char kEnableCommand[] = "bcdedit /set {default} bootstatuspolicy displayallfailures";
const std::vector<unsigned char> kStamp = {1, 2, 3, 4, 0xfd, 0xfe, 0xff, 0};
const std::string kRealRequester = "t_requesterSimulativeVss=0\nt_WaitAsyncTimeoutMsec=7000\n";

void expectWindowWithinProviders(const Json& record, const std::string& heldUs) {
    ASSERT_TRUE(record["frozenMs"].is_number()) << record.dump();
    const double frozen = record["frozenMs"];
    if (record["requesterResult"] == 0) {
        EXPECT_LE(frozen, std::stod(heldUs) / 1000.0 + 2.0);
    }
    ASSERT_TRUE(record["statusWriteMs"].is_number()) << record.dump();
    double inside = record["statusWriteMs"];
    EXPECT_GT(inside, 0.0);
    for (const Json& server : record["servers"])
        if (server["checkpoint"].is_object())
            inside += server["checkpoint"]["ms"].get<double>();
    // Each figure is rounded to the microsecond.
    EXPECT_LE(inside, frozen + 0.005);
}

StatusSection::StatusSection()
    : m_mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 200,
                                   L"Global\\ProcessSharedMemory")),
      m_view(static_cast<int*>(MapViewOfFile(m_mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 200))) {
    *m_view = kNeverWritten;
}

StatusSection::~StatusSection() {
    UnmapViewOfFile(m_view);
}

void StandInRunTest::SetUp() {
    AgentRunTest::SetUp();
    ASSERT_TRUE(m_standIn.loadForAgent());
    m_environment = m_standIn.environment();
    tweaks(kRealRequester);
}

void StandInRunTest::TearDown() {
    AgentRegistry::deleteLastAliveStamp();
    AgentRunTest::TearDown();
}

void StandInRunTest::freshRun(const std::string& standIn, bool stamp) {
    m_standIn.configure(standIn);
    m_standIn.clearRecords();
    ASSERT_TRUE(stamp ? AgentRegistry::setLastAliveStamp(kStamp) : AgentRegistry::deleteLastAliveStamp());
}

bool StandInRunTest::machineAsBefore(bool touched, bool stamp) const {
    std::vector<unsigned char> bytes;
    unsigned long type = 0;
    std::string runOnce;
    std::vector<Fields> bcdedit = m_standIn.bcdeditCalls();
    return AgentRegistry::lastAliveStamp(bytes, &type) == stamp &&
           (!stamp || (bytes == kStamp && type == REG_BINARY)) && !AgentRegistry::runOnceValue(runOnce) &&
           (touched ? bcdedit.size() == 2 &&
                          bcdedit[0]["args"] == "/set {current} bootstatuspolicy ignoreallfailures" &&
                          bcdedit[1]["args"] == "/set {default} bootstatuspolicy displayallfailures"
                    : bcdedit.empty());
}
#endif
