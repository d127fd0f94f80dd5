#include "ConsistentFile.h"

#include "Crc32.h"
#include "Log.h"
#include "NativePath.h"
#include "TextLine.h"

#include <cstdlib>
#include <fstream>

namespace {
// A line that is missing or not a number reads as 0.
u64 readNumberLine(std::istream& in) {
    std::string line;
    if (!readTextLine(in, line))
        return 0;
    return std::strtoull(line.c_str(), nullptr, 10);
}
} // namespace

ConsistentFile::ConsistentFile(const std::string& path)
    : m_slotCount(2), m_basePath(path), m_nextSlot(0), m_nextVersion(1) {
    i32 latest = -1;
    RcStatus status = findLatestValidFileIndex(latest);
    ORV_CHECK_AS(RC_ERROR != status, "RC_ERROR != status", "No valid consistent file found");
    m_nextSlot = (latest + 1) % m_slotCount;
}

std::string ConsistentFile::dataFileName(i32 slot) const {
    return m_basePath + "." + std::to_string(slot);
}

std::string ConsistentFile::signatureFileName(i32 slot) const {
    return dataFileName(slot) + ".sig";
}

std::string ConsistentFile::readContent(std::istream& stream) {
    std::string content;
    std::string line;
    while (readTextLine(stream, line)) {
        content += line;
        content += '\n';
    }
    return content;
}

RcStatus ConsistentFile::findLatestValidFileIndex(i32& latest) {
    latest = -1;
    u64 bestVersion = 0;
    bool seen = false;
    if (m_slotCount < 1)
        return RC_NOT_FOUND;
    for (i32 i = 0; i < m_slotCount; ++i) {
        std::ifstream data(nativePath(dataFileName(i)));
        std::ifstream signature(nativePath(signatureFileName(i)));
        if (!data.is_open() && !signature.is_open()) {
            LOG(LogInfo) << "Not found persistent files for index " << i << std::endl;
            continue;
        }
        seen = true;
        if (!data.is_open() || !signature.is_open()) {
            LOG(LogError) << "Incomplete pair of persistent files for index " << i << std::endl;
            continue;
        }
        u64 version = readNumberLine(signature);
        u64 checksum = readNumberLine(signature);
        if (version < bestVersion) {
            LOG(LogInfo) << "Index " << i << " is older than the current one" << std::endl;
            continue;
        }
        if (crc32(readContent(data)) == static_cast<u32>(checksum)) {
            latest = i;
            bestVersion = version;
            LOG(LogInfo) << "Latest index found: " << i << std::endl;
        } else {
            LOG(LogError) << "Data and signature do not match for index " << i << std::endl;
        }
    }
    if (!seen)
        return RC_NOT_FOUND;
    if (bestVersion == 0)
        return RC_ERROR;
    m_nextVersion = bestVersion + 1;
    return RC_SUCCESS;
}

RcStatus ConsistentFile::load(std::ostream& out) {
    MutexGuard guard(m_mutex);
    i32 latest = -1;
    RcStatus status = findLatestValidFileIndex(latest);
    if (status == RC_ERROR) {
        LOG(LogError) << "Error loading from disk" << std::endl;
        return RC_ERROR;
    }
    if (status == RC_NOT_FOUND) {
        LOG(LogInfo) << "File does not exist" << std::endl;
        return RC_SUCCESS;
    }
    std::string name = dataFileName(latest);
    std::ifstream data(nativePath(name));
    if (!data.is_open()) {
        LOG(LogError) << "Could not open file for read: " << name << std::endl;
        return RC_ERROR;
    }
    out << readContent(data);
    m_nextSlot = (latest + 1) % m_slotCount;
    return RC_SUCCESS;
}
