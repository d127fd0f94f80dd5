#pragma once
// Folder creation for the infrastructure's working-directory folders.
#include <string>

class Directories {
public:
    // Makes sure that `path` (normally ending in "\\") exists: creates its
    // parent, when the path names one, and then the folder itself. Only these
    // two levels are created. A parent that cannot be created is reported on
    // standard error; a folder that cannot be created and does not exist ends
    // the process through an assertion.
    static void ensureExists(const std::string& path);

    // The text before the last "\\" at or before the second-to-last character
    // of `path`; empty when there is none. An empty parent (a path beginning
    // with its only inner separator) is not created.
    static std::string parentOf(const std::string& path);
};
