// What a log statement costs the thread that writes it, and how many records
// per second reach the file, for the logging core with its file client next
// to spdlog's asynchronous file logger writing a line of the same shape.
//
// *_Caller: one statement per iteration, timed in the calling thread
// (OrvelClientOnly: a finished record handed straight to the file client).
// *_ToDisk: batches of kBatch statements, each followed by a wait until the
// batch is in the file, so items_per_second is the sustained rate.
//
// Both queues are sized so that nothing is dropped or blocks on a full queue
// while the caller is timed: the file client gets a 1 GiB budget, spdlog a
// queue of 1M entries.
#include "FileLoggerClient.h"
#include "Log.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

const int kBatch = 10000;
const u32 kBudgetMb = 1024;

// Removed when the process ends: a run writes gigabytes.
class BenchFolder {
public:
    BenchFolder() {
        char tmpl[] = "/tmp/orvel-logger-bench-XXXXXX";
        const char* made = mkdtemp(tmpl);
        m_path = made != nullptr ? made : "";
    }
    ~BenchFolder() {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string benchFolder() {
    static BenchFolder folder;
    return folder.path();
}

FileLoggerClient* orvelClient() {
    static FileLoggerClient* client = [] {
        FileLoggerClient* c = new FileLoggerClient(benchFolder() + "/orvel.log", kBudgetMb, 0, "");
        Logger::instance()->registerClient(c, kAllLevelsMask);
        return c;
    }();
    return client;
}

spdlog::logger* spdlogLogger() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        spdlog::init_thread_pool(1 << 20, 1);
        std::shared_ptr<spdlog::logger> l = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>(
            "bench", benchFolder() + "/spdlog.log.txt");
        // The same seven fields as a record of the logging core.
        l->set_pattern("%Y-%m-%d %H:%M:%S.%e,%l,%t,NON,,BM_Spdlog,%v", spdlog::pattern_time_type::utc);
        return l;
    }();
    return logger.get();
}

void waitSpdlogDrained() {
    spdlogLogger()->flush();
    while (spdlog::thread_pool()->queue_size() != 0)
        std::this_thread::yield();
    spdlogLogger()->flush(); // the last message may have been taken, not yet written
}

void BM_Orvel_Caller(benchmark::State& state) {
    orvelClient();
    int i = 0;
    for (auto _ : state)
        LOG(LogInfo) << "bench record " << i++ << std::endl;
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        orvelClient()->flush();
}

// The file client alone, given a finished record: the share of the caller's
// cost that is not the logging core's formatting.
void BM_OrvelClientOnly_Caller(benchmark::State& state) {
    FileLoggerClient* client = orvelClient();
    const std::string record =
        "2026-12-04 15:20:24.123,Info,5812,NON,,BM_OrvelClientOnly_Caller,bench record 12345\n";
    for (auto _ : state)
        client->write(record.data(), record.size());
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        client->flush();
}

void BM_Spdlog_Caller(benchmark::State& state) {
    spdlog::logger* logger = spdlogLogger();
    int i = 0;
    for (auto _ : state)
        logger->info("bench record {}", i++);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        waitSpdlogDrained();
}

void BM_Orvel_ToDisk(benchmark::State& state) {
    FileLoggerClient* client = orvelClient();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            LOG(LogInfo) << "bench record " << i << std::endl;
        client->flush();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Spdlog_ToDisk(benchmark::State& state) {
    spdlog::logger* logger = spdlogLogger();
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            logger->info("bench record {}", i);
        waitSpdlogDrained();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

} // namespace

BENCHMARK(BM_Orvel_Caller)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_OrvelClientOnly_Caller)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Spdlog_Caller)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Orvel_ToDisk)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Spdlog_ToDisk)->Threads(1)->Threads(2)->UseRealTime();
