#pragma once
// Reader of a consistent file set: a small text file kept as numbered copies
// (slots), each paired with a signature file that holds the copy's version
// and CRC-32. The newest copy whose checksum matches is the file's content,
// so a copy that was being written when the machine stopped is never read.
//
// For base path P and slot i the data file is P + "." + i and the signature
// file P + "." + i + ".sig": line 1 the version (decimal), line 2 the CRC-32
// of the content (decimal; its low 32 bits count). The content is the data
// file read in the platform's text mode, line by line (readTextLine), with
// "\n" after every line, so a missing line end at the end of the file does
// not change it.
//
// Writing a set is not done here; the next slot and version are kept for a
// writer.
#include "Mutex.h"
#include "RcStatus.h"
#include "Types.h"

#include <ostream>
#include <string>

class ConsistentFile {
public:
    // Searches the set at once; a set whose files exist without any valid
    // pair ends the process through an assertion.
    explicit ConsistentFile(const std::string& path);

    // Writes the newest valid copy's content into `out`. RC_SUCCESS, also
    // when no file of the set exists (nothing is written); RC_ERROR when files
    // exist but no pair is valid or the chosen copy cannot be opened.
    RcStatus load(std::ostream& out);

    // Sets `latest` to the slot of the newest valid copy, -1 if none.
    // RC_NOT_FOUND when no file of the set exists, RC_ERROR when none of the
    // files found forms a valid pair. Of copies with equal versions the later
    // slot wins; a copy of version 0 never counts.
    RcStatus findLatestValidFileIndex(i32& latest);

    i32 nextSlot() const { return m_nextSlot; }
    u64 nextVersion() const { return m_nextVersion; }

    std::string dataFileName(i32 slot) const;
    std::string signatureFileName(i32 slot) const;

private:
    // The content of the copy in `stream`, as written into load's output and
    // covered by the checksum.
    static std::string readContent(std::istream& stream);

    i32 m_slotCount;
    std::string m_basePath;
    i32 m_nextSlot;
    u64 m_nextVersion;
    Mutex m_mutex;
};
