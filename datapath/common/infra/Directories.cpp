#include "Directories.h"

std::string Directories::parentOf(const std::string& path) {
    if (path.size() < 2)
        return std::string();
    // The search starts before the last character so that a path ending in
    // the separator names the folder, not an empty last component.
    std::string::size_type pos = path.rfind('\\', path.size() - 2);
    return pos == std::string::npos ? std::string() : path.substr(0, pos);
}
