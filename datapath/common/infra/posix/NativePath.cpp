#include "../NativePath.h"

#include <algorithm>

// "\\" is an ordinary file-name character on POSIX; reading it as the
// separator lets the same relative paths work here.
std::string nativePath(const std::string& path) {
    std::string native = path;
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}
