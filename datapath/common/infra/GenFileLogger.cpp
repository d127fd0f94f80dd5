#include "GenFileLogger.h"

#include "DynamicTweaks.h"
#include "Log.h"
#include "LogFileSystem.h"
#include "Os.h"
#include "TrackedNew.h"
#include "Tweaks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

namespace {
const u32 kUnlimitedMb = 4294967295u;

struct RotatedFile {
    u32 index;
    std::string name;
};
} // namespace

GenFileLogger::GenFileLogger(const std::string& path, u32 memoryLimitMb, bool startWriterNow)
    : m_fileName(path), m_queue("FileLogger"), m_maxFiles(0), m_enabled(false), m_compressOnRotate(false),
      m_flushEveryLine(true), m_flushEveryLineInWriter(false), m_flushWaitLimitMs(0),
      m_rotateSizeBytes(kRotateSizeBytes), m_fileSize(0), m_writerThreadId(0), m_tracker(nullptr) {
    Tweaks* tweaks = Tweaks::instance();
    m_flushWaitLimitMs = tweaks->uintVal("t_JexFlushFileMaxPeriodMs", 60000u);

    MutexGuard guard(m_fileMutex);
    u32 percent = tweaks->uintVal("t_percentOfLoggerMemoryforMinimalThreshold", 80u);
    // Computed in 32 bits on purpose: a limit of 4096 MiB or more wraps.
    u32 maxBytes = memoryLimitMb == kUnlimitedMb ? kUnlimitedMb : memoryLimitMb * 1048576u;
    u64 threshold = static_cast<u64>(maxBytes) * percent / 100;
    u32 resumeBytes = threshold > kUnlimitedMb ? kUnlimitedMb : static_cast<u32>(threshold);
    m_tracker = ORV_NEW(HeapMemoryAllocationTracker)(
        maxBytes, resumeBytes, DynamicTweaks::instance()->t_disableLogMemoryAllocationTracking, m_fileName);

    m_maxFiles = tweaks->intVal("t_GenFileLoggerMaxFiles", 1000);
    i32 maxFilesOverride = tweaks->intVal("t_FileLoggerMaxFilesOverride", 0);
    if (maxFilesOverride != 0)
        m_maxFiles = maxFilesOverride;
    m_enabled = true;

    size_t separator = m_fileName.find_last_of("\\/");
    m_directory = separator == std::string::npos ? "." : m_fileName.substr(0, separator);
    u32 error = LogFileSystem::createDirectory(m_directory);
    if (error != 0 && error != LogFileSystem::kErrorAlreadyExists)
        std::cout << "Error creating directory (" << m_directory << ") for logs (rt=" << 0 << ")"
                  << "GetLastError " << error << std::endl;

    openFileLocked();
    if (!m_file.good()) {
        m_enabled = false;
        return;
    }
    if (startWriterNow)
        open();
}

GenFileLogger::~GenFileLogger() {
    // Only a logger whose writer never started gets here; what is still queued
    // goes back to the tracker unwritten.
    while (!m_queue.empty()) {
        const QueueItem& item = m_queue.front();
        if (item.buffer != nullptr)
            m_tracker->release(item.buffer, item.length);
        m_queue.pop();
    }
    trackedDelete(m_tracker);
}

void GenFileLogger::startWriter() {
    if (m_enabled)
        open();
}

void GenFileLogger::openFileLocked() {
    if (m_file.is_open())
        m_file.close();
    m_file.clear();
    // Binary, so that the file holds exactly the bytes of the records and its
    // length is the write position; "ate" puts that position at the end of an
    // existing file before the first write.
    //
    // Line ends stay LF on Windows too, by decision: a record is the same
    // bytes on every platform and in every client (a message may itself hold
    // line ends, which text mode would widen behind the record's back), the
    // size that rotation counts is the file's size, and the readers of these
    // logs (current editors, PowerShell, the support tools that parse the
    // seven columns) take LF. CRLF would only serve the oldest Notepad.
    m_file.open(m_fileName + ".txt", std::ios::out | std::ios::app | std::ios::ate | std::ios::binary);
    if (!m_file.good()) {
        std::cout << "failed to open logger file. going to work without logger" << std::endl;
        m_fileSize = 0;
        return;
    }
    std::streamoff position = m_file.tellp();
    m_fileSize = position > 0 ? static_cast<u64>(position) : 0;
}

void GenFileLogger::write(const char* data, u32 length) {
    if (!m_enabled)
        return;
    if (m_flushEveryLine) {
        MutexGuard guard(m_fileMutex);
        writeRecordLocked(data, length);
        m_file.flush();
        return;
    }
    if (data == nullptr || length == 0) {
        enqueue(QueueItem{nullptr, 0, false});
        return;
    }
    bool justPaused = false;
    s8* buffer = m_tracker->allocate(length, justPaused);
    if (buffer == nullptr) {
        if (justPaused)
            queuePauseNotice();
        return;
    }
    std::memcpy(buffer, data, length);
    enqueue(QueueItem{buffer, length, false});
}

void GenFileLogger::queuePauseNotice() {
    std::ostringstream notice;
    formatLogTimestamp(notice, 3);
    notice << "," << m_fileName << "-pausing logger due to OOM"
           << "\n";
    std::string text = notice.str();
    u32 length = static_cast<u32>(text.size());
    s8* buffer = m_tracker->allocateUnlimited(length);
    std::memcpy(buffer, text.data(), length);
    enqueue(QueueItem{buffer, length, false});
    enqueue(QueueItem{nullptr, 0, false});
}

void GenFileLogger::enqueue(const QueueItem& item) {
    MutexGuard guard(m_queueMutex);
    // The writer drains until it finds the queue empty, so only the first
    // item after that needs to wake it.
    bool wasEmpty = m_queue.empty();
    m_queue.push(item);
    // Deferred, the writer may sleep with records queued: only a flush
    // marker wakes it, whatever the queue holds.
    if (m_wakeupsDeferred.load(std::memory_order_relaxed) ? item.buffer == nullptr : wasEmpty)
        m_queueEvent.set();
}

void GenFileLogger::deferWakeups(bool on) {
    {
        // Changed under the queue mutex, so that a record queued as the
        // deferral ends either finds it on (and this call's wake takes it)
        // or off (and wakes the writer itself).
        MutexGuard guard(m_queueMutex);
        m_wakeupsDeferred.store(on, std::memory_order_relaxed);
    }
    // On: the writer, possibly asleep without a time limit, goes over to
    // timed waits. Off: it writes what the timed waits have not yet taken.
    m_queueEvent.set();
}

void GenFileLogger::writeRecordLocked(const char* data, u32 length) {
    if (m_fileSize > m_rotateSizeBytes)
        rotateLocked();
    if (m_file.write(data, length))
        m_fileSize += length;
}

void GenFileLogger::run() {
    m_writerThreadId.store(Os::currentThreadId(), std::memory_order_relaxed);
    // Items are taken over in batches: producers meet the writer on the queue
    // mutex once per batch instead of once per record. Order is kept, so a
    // flush marker still follows every record queued before it.
    RecordQueue batch;
    for (;;) {
        if (m_wakeupsDeferred.load(std::memory_order_relaxed))
            m_queueEvent.waitFor(kDeferredPollMs);
        else
            m_queueEvent.wait();
        for (;;) {
            {
                MutexGuard guard(m_queueMutex);
                if (m_queue.empty())
                    break;
                std::swap(batch, static_cast<RecordQueue&>(m_queue));
            }
            MutexGuard guard(m_fileMutex);
            for (; !batch.empty(); batch.pop()) {
                const QueueItem& item = batch.front();
                if (item.buffer != nullptr) {
                    writeRecordLocked(reinterpret_cast<const char*>(item.buffer), item.length);
                    m_tracker->release(item.buffer, item.length);
                    if (m_flushEveryLineInWriter)
                        m_file.flush();
                } else {
                    m_file.flush();
                    if (item.wakesWaiter)
                        m_flushSem.post();
                }
            }
        }
    }
}

void GenFileLogger::flushQueue() {
    if (m_flushEveryLine || !m_enabled)
        return;
    if (m_writerThreadId.load(std::memory_order_relaxed) == Os::currentThreadId())
        return;
    enqueue(QueueItem{nullptr, 0, true});
    if (m_flushWaitLimitMs == 0) {
        m_flushSem.wait();
        return;
    }
    if (!m_flushSem.waitFor(m_flushWaitLimitMs))
        std::cerr << "Flush is not completed"
                  << " t_JexFlushFileMaxPeriodMs=" << m_flushWaitLimitMs << " " << std::endl;
}

void GenFileLogger::rotateNow() {
    MutexGuard guard(m_fileMutex);
    rotateLocked();
}

std::string GenFileLogger::rotatedName(u32 index) const {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06u", index);
    return m_fileName + digits + ".txt" + (m_compressOnRotate ? ".gz" : "");
}

u32 GenFileLogger::indexOf(const std::string& name) const {
    std::string rest = name.substr(m_fileName.size());
    rest = rest.substr(0, rest.find(".txt"));
    rest = rest.substr(0, rest.find(".gz"));
    u64 index = 0;
    for (char c : rest) {
        if (c < '0' || c > '9' || index > 0xFFFFFFFFu)
            return 0;
        index = index * 10 + static_cast<u64>(c - '0');
    }
    return index > 0xFFFFFFFFu ? 0 : static_cast<u32>(index);
}

void GenFileLogger::renameFile(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT)
        return;
    int err = errno;
    std::cerr << "Error renaming file orig=" << from << " target=" << to << " err=" << err << "("
              << std::strerror(err) << ")" << std::endl;
}

void GenFileLogger::removeFile(const std::string& name) {
    if (std::remove(name.c_str()) == 0 || errno == ENOENT)
        return;
    int err = errno;
    std::cerr << "Error removing file name=" << name << " err=" << err << "(" << std::strerror(err) << ")"
              << std::endl;
}

void GenFileLogger::rotateLocked() {
    std::vector<std::string> names;
    u32 error = 0;
    LogFileSystem::ListResult listed = LogFileSystem::listFiles(m_directory, names, error);
    if (listed == LogFileSystem::ListResult::StartFailed)
        std::cerr << "FindFirstFile failed (" << error << ")" << std::endl;
    if (listed != LogFileSystem::ListResult::Done) {
        std::cerr << "failed to enumerate files" << std::endl;
        return;
    }

    // Listed names carry the folder the way the base name spells it.
    std::string prefix;
    if (m_directory != ".")
        prefix = m_fileName.substr(0, m_directory.size() + 1);
    const std::string current = m_fileName + ".txt";
    const std::string compressedCurrent = current + ".gz";
    bool hasCompressedCurrent = false;
    std::vector<RotatedFile> rotated;
    for (const std::string& name : names) {
        std::string full = prefix + name;
        if (full == compressedCurrent)
            hasCompressedCurrent = true;
        else if (full != current && full.compare(0, m_fileName.size(), m_fileName) == 0)
            rotated.push_back(RotatedFile{indexOf(full), full});
    }
    std::stable_sort(rotated.begin(), rotated.end(),
                     [](const RotatedFile& a, const RotatedFile& b) { return a.index < b.index; });

    u32 nextIndex = rotated.empty() ? 1 : rotated.back().index + 1;
    if (hasCompressedCurrent) {
        renameFile(compressedCurrent, rotatedName(nextIndex));
        ++nextIndex;
        if (!rotated.empty() && static_cast<i64>(rotated.size()) >= m_maxFiles) {
            removeFile(rotated.front().name);
            rotated.erase(rotated.begin());
        }
    }
    m_file.close();
    renameFile(current, rotatedName(nextIndex));
    if (!rotated.empty() && static_cast<i64>(rotated.size()) >= m_maxFiles)
        removeFile(rotated.front().name);
    openFileLocked();
}
