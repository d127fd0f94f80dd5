#include "../LogFileSystem.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

namespace {
// Owns an open folder stream.
class DirStream {
public:
    explicit DirStream(const std::string& path) : m_dir(opendir(path.c_str())) {}
    ~DirStream() {
        if (m_dir != nullptr)
            closedir(m_dir);
    }
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    DIR* get() const { return m_dir; }

private:
    DIR* m_dir;
};
} // namespace

u32 LogFileSystem::createDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0)
        return 0;
    return errno == EEXIST ? kErrorAlreadyExists : static_cast<u32>(errno);
}

LogFileSystem::ListResult LogFileSystem::listFiles(const std::string& directory,
                                                   std::vector<std::string>& names, u32& error) {
    DirStream dir(directory);
    if (dir.get() == nullptr) {
        error = static_cast<u32>(errno);
        return ListResult::StartFailed;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir.get());
        if (entry == nullptr)
            break;
        struct stat st;
        std::string full = directory + "/" + entry->d_name;
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(entry->d_name);
    }
    if (errno != 0) {
        error = static_cast<u32>(errno);
        return ListResult::Failed;
    }
    return ListResult::Done;
}
