// Runs every benchmark, then prints the goals as ratios of runs made side by
// side in this one process: the logging core against spdlog, tracked objects
// against plain new/delete, and a pool chunk against malloc/free.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            m_timeNs[run.benchmark_name()] = run.GetAdjustedRealTime();
            std::map<std::string, benchmark::Counter>::const_iterator rate =
                run.counters.find("items_per_second");
            if (rate != run.counters.end())
                m_rate[run.benchmark_name()] = rate->second.value;
        }
    }

    // ours / theirs of a figure; 0 when either run is missing.
    static double ratio(const std::map<std::string, double>& figures, const std::string& ours,
                        const std::string& theirs) {
        std::map<std::string, double>::const_iterator a = figures.find(ours), b = figures.find(theirs);
        return a == figures.end() || b == figures.end() || b->second == 0 ? 0 : a->second / b->second;
    }

    void printGoals() const {
        struct Goal {
            const char* what;
            std::string ours, theirs;
            bool byTime;  // else by items per second
            double limit; // 0: a figure to report, no goal set
        };
        std::vector<Goal> goals;
        for (const char* threads : {"1", "2"}) {
            const std::string suffix = std::string("/real_time/threads:") + threads;
            goals.push_back({"LOG caller cost vs spdlog async", "BM_Orvel_Caller" + suffix,
                             "BM_Spdlog_Caller" + suffix, true, 2.0});
            goals.push_back({"file throughput vs spdlog async", "BM_Orvel_ToDisk" + suffix,
                             "BM_Spdlog_ToDisk" + suffix, false, 0.5});
            goals.push_back({"pool chunk vs malloc/free of 4096", "BM_PoolChunkAllocFree" + suffix,
                             "BM_PoolBaselineMallocFree" + suffix, true, 0});
            for (const char* size : {"8", "24", "64"}) {
                const std::string sized = std::string("<") + size + ">" + suffix;
                goals.push_back({"counting mode vs new/delete", "BM_CountingNewDelete" + sized,
                                 "BM_PlainNewDelete" + sized, true, 1.3});
                goals.push_back({"shield mode vs new/delete", "BM_ShieldNewDelete" + sized,
                                 "BM_PlainNewDelete" + sized, true, 10.0});
            }
        }
        std::printf("\n| goal | run | ratio | limit | met |\n|---|---|---|---|---|\n");
        for (const Goal& g : goals) {
            double r = g.byTime ? ratio(m_timeNs, g.ours, g.theirs) : ratio(m_rate, g.ours, g.theirs);
            if (r == 0)
                continue;
            if (g.limit == 0) {
                std::printf("| %s | %s | %.2fx | - | - |\n", g.what, g.ours.c_str(), r);
                continue;
            }
            bool met = g.byTime ? r <= g.limit : r >= g.limit;
            std::printf("| %s | %s | %.2fx | %s%.1fx | %s |\n", g.what, g.ours.c_str(), r,
                        g.byTime ? "<= " : ">= ", g.limit, met ? "yes" : "NO");
        }
    }

private:
    std::map<std::string, double> m_timeNs;
    std::map<std::string, double> m_rate;
};
} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printGoals();
    benchmark::Shutdown();
    return 0;
}
