// What a tracked object costs against a plain new/delete of the same size:
// counting mode (the default of every run) and shield mode (registered, with
// margins and the release check), one allocation and its release per
// iteration, at 1 and 2 threads.
//
// Shield mode is measured through MemShield's own calls, the ones the
// tracked allocation makes when the switch is on, so that the process-wide
// switch stays off for everything else this executable runs.
#include "MemShield.h"
#include "TrackedNew.h"

#include <benchmark/benchmark.h>

#include <new>

namespace {
template <int N> struct Object { char bytes[N]; };

template <int N> void BM_PlainNewDelete(benchmark::State& state) {
    for (auto _ : state) {
        Object<N>* o = new Object<N>();
        benchmark::DoNotOptimize(o);
        delete o;
    }
    state.SetItemsProcessed(state.iterations());
}

template <int N> void BM_CountingNewDelete(benchmark::State& state) {
    for (auto _ : state) {
        Object<N>* o = ORV_NEW(Object<N>)();
        benchmark::DoNotOptimize(o);
        trackedDelete(o);
    }
    state.SetItemsProcessed(state.iterations());
}

template <int N> void BM_ShieldNewDelete(benchmark::State& state) {
    MemShield* shield = MemShield::instance();
    for (auto _ : state) {
        void* memory = shield->internalAllocAndRegister(sizeof(Object<N>), 0, "Object", __FILE__, __LINE__);
        Object<N>* o = ::new (memory) Object<N>();
        benchmark::DoNotOptimize(o);
        o->~Object<N>();
        shield->verifyPtr(o, __FILE__, __LINE__);
        shield->freeAndUnregister(o, __FILE__, __LINE__);
    }
    state.SetItemsProcessed(state.iterations());
}
} // namespace

#define ORV_ALLOC_BENCH(name)                                                                                \
    BENCHMARK_TEMPLATE(name, 8)->Threads(1)->Threads(2)->UseRealTime();                                      \
    BENCHMARK_TEMPLATE(name, 24)->Threads(1)->Threads(2)->UseRealTime();                                     \
    BENCHMARK_TEMPLATE(name, 64)->Threads(1)->Threads(2)->UseRealTime()

ORV_ALLOC_BENCH(BM_PlainNewDelete);
ORV_ALLOC_BENCH(BM_CountingNewDelete);
ORV_ALLOC_BENCH(BM_ShieldNewDelete);
