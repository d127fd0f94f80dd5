#pragma once
// A fresh folder under the system's temporary folder that is the working
// directory while the object lives; afterwards the previous working directory
// is restored and the folder removed. Tests that read or write files use it
// so that nothing lands in the source or build tree.
#include "Types.h"

#include <filesystem>
#include <string>

class TempWorkingDir {
public:
    TempWorkingDir();
    ~TempWorkingDir();
    TempWorkingDir(const TempWorkingDir&) = delete;
    TempWorkingDir& operator=(const TempWorkingDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

    // Writes `content` byte for byte to `relativePath` ("/" separated),
    // creating the folders on the way.
    static void writeFile(const std::string& relativePath, const std::string& content);
    static std::string readFile(const std::string& relativePath);

    // Writes slot `slot` of the consistent file set at `basePath`: the data
    // file and a signature with `version` and `checksum`.
    static void writeConsistentCopy(const std::string& basePath, int slot, u64 version,
                                    const std::string& content, u64 checksum);
    // The same with the checksum of `content`.
    static void writeConsistentCopy(const std::string& basePath, int slot, u64 version,
                                    const std::string& content);

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};
