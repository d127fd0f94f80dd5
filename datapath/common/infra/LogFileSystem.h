#pragma once
// The folder operations of the rotating file logger. Each platform folder
// provides one implementation; the logger's rotation logic above it is the
// same everywhere. Error numbers are the platform's own, except that the two
// the logger tells apart are reported with their Windows values on every
// platform.
#include "Types.h"

#include <string>
#include <vector>

namespace LogFileSystem {

const u32 kErrorNoMoreFiles = 18;
const u32 kErrorAlreadyExists = 183;

// Creates one folder level (the parent must exist). 0 on success, else the
// error number: kErrorAlreadyExists when the folder is there already.
u32 createDirectory(const std::string& path);

enum class ListResult {
    Done,        // every entry was listed
    StartFailed, // the folder could not be opened; error holds why
    Failed,      // the listing broke off; error holds why
};

// The names (without folder) of the plain files in `directory`; folders are
// left out. `error` is set for StartFailed and Failed.
ListResult listFiles(const std::string& directory, std::vector<std::string>& names, u32& error);

} // namespace LogFileSystem
