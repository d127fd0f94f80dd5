#pragma once
// A fresh folder under the system's temporary folder that is the working
// directory while the object lives; afterwards the previous working directory
// is restored and the folder removed. Tests that read or write files use it
// so that nothing lands in the source or build tree.
#include "Types.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>

class TempWorkingDir {
public:
    TempWorkingDir();
    ~TempWorkingDir();
    TempWorkingDir(const TempWorkingDir&) = delete;
    TempWorkingDir& operator=(const TempWorkingDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    // `leaf` inside the folder, as an absolute path in the platform's spelling.
    std::string file(const std::string& leaf) const { return (m_path / leaf).string(); }
    std::set<std::string> files() const;

    // Byte for byte; writing creates the folders on the way.
    static void writeFile(const std::string& path, const std::string& content);
    static std::string readFile(const std::string& path);

    // Writes slot `slot` of the consistent file set at `basePath`: the data
    // file and a signature with `version` and `checksum` (unless given, the
    // checksum of `content`).
    static void writeConsistentCopy(const std::string& basePath, int slot, u64 version,
                                    const std::string& content, std::optional<u64> checksum = {});

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};
