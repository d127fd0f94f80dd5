#pragma once
// The process-wide MemShield switch: on, heap objects are tracked in shield
// mode; off, they are only counted. The entry point sets it once from the
// tweak t_enableMemshield before any other thread exists; afterwards it is
// only read, without a lock. The tracking allocator reads it when it exists.
inline bool g_memShieldEnabled = false;
