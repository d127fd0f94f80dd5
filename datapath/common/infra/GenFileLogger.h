#pragma once
// A rotating text-file writer with its own writer thread.
//
// The file written is the base name given to the constructor + ".txt". When
// it has grown past the rotation size it is renamed to the base name + a
// six-digit index + ".txt" (+ ".gz" when compress on rotate is set; the
// content stays plain text) and a fresh file is started; the oldest rotated
// files beyond the maximum count are removed.
//
// Records are normally copied into budgeted buffers and queued for the writer
// thread, so callers never wait for the disk; in direct mode (flush every
// line, the default of a bare GenFileLogger) the caller writes and flushes
// under the file mutex itself.
//
// The logger reports its own trouble on standard output or standard error,
// never through the logging core, so that it cannot recurse into itself.
//
// Lifetime: the writer thread runs until the process ends and uses this
// object, so a logger whose writer was started must never be destroyed.
#include "HeapMemoryAllocationTracker.h"
#include "Mutex.h"
#include "Semaphore.h"
#include "StlMemShiledContainer.h"
#include "ThreadWrapper.h"
#include "Trigger.h"
#include "Types.h"

#include <atomic>
#include <fstream>
#include <memory>
#include <queue>
#include <string>

class GenFileLogger : public ThreadWrapper {
public:
    static const u64 kRotateSizeBytes = 10485760;

    // `path` is the base name; `memoryLimitMb` the queue budget in MiB (below
    // 4096, or 4294967295 for a budget of that many bytes). Unless
    // `startWriterNow` is false the writer thread starts here; a derived class
    // passes false and calls startWriter() at the end of its own constructor,
    // so that the thread never sees a half-built object.
    GenFileLogger(const std::string& path, u32 memoryLimitMb, bool startWriterNow = true);
    ~GenFileLogger() override;

    // Writes or queues `length` bytes; a null or empty record queues a flush
    // marker. Ignored when the logger is disabled. Any thread.
    void write(const char* data, u32 length);
    // Returns once every record queued before the call is in the file, or
    // after the flush wait limit (reported on standard error). Returns at once
    // in direct mode, when disabled, and on the writer thread itself, which
    // cannot wait for its own work.
    void flushQueue();
    // While on, queued records do not wake the writer: it looks at the queue
    // every kDeferredPollMs instead, so a record reaches the file at most
    // that much later. Flush markers still wake it. Off wakes it once for
    // whatever was queued meanwhile. Any thread.
    void deferWakeups(bool on);
    static const u32 kDeferredPollMs = 20;
    // The writer thread's body.
    void run() override;

    bool enabled() const { return m_enabled; }

protected:
    void startWriter();
    // Set by a derived constructor before startWriter().
    void setCompressOnRotate(bool on) { m_compressOnRotate = on; }
    void setFlushEveryLine(bool on) { m_flushEveryLine = on; }
    void setFlushEveryLineInWriter(bool on) { m_flushEveryLineInWriter = on; }
    void disable() { m_enabled = false; }

    // Seams for tests: a smaller rotation size, a shorter flush limit, a
    // rotation on demand, and the file mutex (holding it stalls the writer).
    void setRotateSizeBytes(u64 bytes) { m_rotateSizeBytes = bytes; }
    void setFlushWaitLimitMs(u32 ms) { m_flushWaitLimitMs = ms; }
    void setMaxFiles(i32 maxFiles) { m_maxFiles = maxFiles; }
    void rotateNow();
    IMutex& fileMutex() { return m_fileMutex; }
    HeapMemoryAllocationTracker& tracker() { return *m_tracker; }

private:
    // A record (buffer, length) or, without a buffer, a flush marker. Only the
    // markers of flushQueue() wake a waiter: a marker that nobody waits for
    // must not leave a count behind for a later flush to take early.
    struct QueueItem {
        s8* buffer;
        u32 length;
        bool wakesWaiter;
    };

    void enqueue(const QueueItem& item);
    void queuePauseNotice();
    void writeRecordLocked(const char* data, u32 length) ORV_REQUIRES(m_fileMutex);
    void openFileLocked() ORV_REQUIRES(m_fileMutex);
    void rotateLocked() ORV_REQUIRES(m_fileMutex);
    std::string rotatedName(u32 index) const;
    u32 indexOf(const std::string& name) const;
    static void renameFile(const std::string& from, const std::string& to);
    static void removeFile(const std::string& name);

    std::ofstream m_file;
    std::string m_fileName;
    std::string m_directory;
    Mutex m_fileMutex;
    Semaphore m_flushSem;
    Mutex m_queueMutex;
    typedef std::queue<QueueItem> RecordQueue;
    StlMemShiledContainer<RecordQueue> m_queue ORV_GUARDED_BY(m_queueMutex); // "FileLogger"
    Trigger m_queueEvent;
    i32 m_maxFiles;
    bool m_enabled;
    bool m_compressOnRotate;
    bool m_flushEveryLine;
    bool m_flushEveryLineInWriter;
    u32 m_flushWaitLimitMs;
    u64 m_rotateSizeBytes;
    // The current file's length: its position when opened plus what was
    // written since, so the size check before each write needs no system call.
    u64 m_fileSize;
    std::atomic<u32> m_writerThreadId;
    std::atomic<bool> m_wakeupsDeferred{false};
    HeapMemoryAllocationTracker* m_tracker; // tracked, owned
};
