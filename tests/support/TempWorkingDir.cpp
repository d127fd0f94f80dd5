#include "TempWorkingDir.h"

#include "Crc32.h"

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

TempWorkingDir::TempWorkingDir() : m_previous(fs::current_path()) {
    std::random_device random;
    do {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = fs::temp_directory_path() /
                 ("orvel-test-" + std::to_string(now) + "-" + std::to_string(random()));
    } while (!fs::create_directory(m_path));
    fs::current_path(m_path);
}

TempWorkingDir::~TempWorkingDir() {
    std::error_code ignored;
    fs::current_path(m_previous, ignored);
    fs::remove_all(m_path, ignored);
}

std::set<std::string> TempWorkingDir::files() const {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_path))
        names.insert(entry.path().filename().string());
    return names;
}

void TempWorkingDir::writeFile(const std::string& path, const std::string& content) {
    fs::path file(path);
    if (file.has_parent_path())
        fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempWorkingDir::readFile(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void TempWorkingDir::writeConsistentCopy(const std::string& basePath, int slot, u64 version,
                                         const std::string& content, std::optional<u64> checksum) {
    const std::string data = basePath + "." + std::to_string(slot);
    writeFile(data, content);
    writeFile(data + ".sig",
              std::to_string(version) + "\n" + std::to_string(checksum.value_or(crc32(content))) + "\n");
}
