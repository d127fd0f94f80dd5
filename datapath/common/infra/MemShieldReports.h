#pragma once
// The reports MemShield's error report prints after its own: the layers above
// the allocator (threads, heap, pools) hand theirs in, so that the allocator
// includes none of them.
//
// Lock-free on purpose: the error report runs when the allocator has found a
// misuse, possibly under any lock of the process, and adding may happen from
// any thread while another prints.
class MemShieldReports {
public:
    using Report = void (*)();
    static const int kMaxReports = 8;

    // Appends report unless it is already there; false when the table is full
    // (the report is then not printed, nothing else changes).
    static bool add(Report report);
    // Calls every report, in the order they were added.
    static void printAll();
};
