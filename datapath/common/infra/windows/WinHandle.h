#pragma once
// Owners of the kernel's handles: an object handle (closed with
// CloseHandle), a file search and a volume search.
#include "UniqueHandle.h"

#include <windows.h>

struct KernelObjectTraits {
    using Value = HANDLE;
    static HANDLE empty() { return nullptr; }
    // Which of NULL and INVALID_HANDLE_VALUE a failing call returns depends
    // on the call: both mean "no handle".
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
// A class rather than an alias, so that a header can declare it ahead.
class WinHandle : public UniqueHandle<KernelObjectTraits> {
public:
    using UniqueHandle::UniqueHandle;
};

struct FileSearchTraits : KernelObjectTraits {
    static void close(HANDLE h) { FindClose(h); }
};
// What FindFirstFileW returns.
using FileSearchHandle = UniqueHandle<FileSearchTraits>;

struct VolumeSearchTraits : KernelObjectTraits {
    static void close(HANDLE h) { FindVolumeClose(h); }
};
// What FindFirstVolumeW returns.
using VolumeSearchHandle = UniqueHandle<VolumeSearchTraits>;
