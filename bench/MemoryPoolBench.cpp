// What a chunk from a memory pool costs against the general heap: one
// request of 4096 bytes and its release per iteration, at 1 and 2 threads.
// The pool side is the whole request as a client makes it: the future it
// returns, the module's accounts and the pool's one lock, which the two
// threads share (one module each).
#include "MemoryPoolImpl.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {
struct BenchPool {
    BenchPool() : pool("BenchPool", 2097152, 2097152) {
        modules[0] = pool.registerModule("bench0", 65536, 0);
        modules[1] = pool.registerModule("bench1", 65536, 0);
    }
    MemoryPoolImpl pool;
    ModuleMemoryInformation* modules[2];
};

BenchPool& benchPool() {
    static BenchPool* pool = new BenchPool();
    return *pool;
}

void BM_PoolChunkAllocFree(benchmark::State& state) {
    BenchPool& b = benchPool();
    ModuleMemoryInformation* mmi = b.modules[state.thread_index() % 2];
    std::vector<MemorySegment> segments;
    segments.reserve(1);
    for (auto _ : state) {
        Future<RcStatus> done = b.pool.allocate(mmi, 4096, segments);
        benchmark::DoNotOptimize(segments[0].m_ptr);
        b.pool.freeSegments(segments, 0);
    }
    state.SetItemsProcessed(state.iterations());
}

// Named for the same filter as the pool's run it is compared with.
void BM_PoolBaselineMallocFree(benchmark::State& state) {
    for (auto _ : state) {
        void* p = std::malloc(4096);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}
} // namespace

BENCHMARK(BM_PoolChunkAllocFree)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_PoolBaselineMallocFree)->Threads(1)->Threads(2)->UseRealTime();
