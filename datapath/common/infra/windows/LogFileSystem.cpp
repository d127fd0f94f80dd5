#include "../LogFileSystem.h"

#include <windows.h>

namespace {
// Owns a FindFirstFileA search.
class FindHandle {
public:
    explicit FindHandle(HANDLE h) : m_handle(h) {}
    ~FindHandle() {
        if (m_handle != INVALID_HANDLE_VALUE)
            FindClose(m_handle);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};
} // namespace

u32 LogFileSystem::createDirectory(const std::string& path) {
    if (CreateDirectoryA(path.c_str(), nullptr))
        return 0;
    return static_cast<u32>(GetLastError());
}

LogFileSystem::ListResult LogFileSystem::listFiles(const std::string& directory,
                                                   std::vector<std::string>& names, u32& error) {
    WIN32_FIND_DATAA data;
    FindHandle find(FindFirstFileA((directory + "\\*").c_str(), &data));
    if (find.get() == INVALID_HANDLE_VALUE) {
        error = static_cast<u32>(GetLastError());
        return ListResult::StartFailed;
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(data.cFileName);
    } while (FindNextFileA(find.get(), &data));
    DWORD last = GetLastError();
    if (last != ERROR_NO_MORE_FILES) {
        error = static_cast<u32>(last);
        return ListResult::Failed;
    }
    return ListResult::Done;
}
