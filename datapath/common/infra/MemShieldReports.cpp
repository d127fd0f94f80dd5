#include "MemShieldReports.h"

#include <atomic>

namespace {
std::atomic<MemShieldReports::Report> g_reports[MemShieldReports::kMaxReports];
} // namespace

bool MemShieldReports::add(Report report) {
    for (std::atomic<Report>& slot : g_reports) {
        Report expected = nullptr;
        // A slot once taken is never given back, so the first empty slot
        // ends the search: the report is either before it or goes into it.
        if (slot.compare_exchange_strong(expected, report) || expected == report)
            return true;
    }
    return false;
}

void MemShieldReports::printAll() {
    for (std::atomic<Report>& slot : g_reports) {
        Report report = slot.load();
        if (report == nullptr)
            return;
        report();
    }
}
