#include "../NativePath.h"

std::string nativePath(const std::string& path) {
    return path;
}
