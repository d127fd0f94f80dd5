#include "../Directories.h"
#include "../Log.h"
#include "../NativePath.h"

#include <errno.h>
#include <iostream>
#include <sys/stat.h>

namespace {
int makeFolder(const std::string& path) {
    return mkdir(nativePath(path).c_str(), 0777);
}
} // namespace

// The same contract and texts as the Windows build, so that callers and tests
// see one behaviour; EEXIST is 17 on both.
void Directories::ensureExists(const std::string& path) {
    std::string parent = parentOf(path);
    if (!parent.empty() && makeFolder(parent) != 0 && errno != EEXIST)
        std::cerr << "mkdir failed for parent " << parent << " and it does not exist" << std::endl;
    if (makeFolder(path) != 0)
        ORV_CHECK_AS(errno == EEXIST, "(*_errno()) == 17",
                     "mkdir failed for dir " << path << " and it does not exist");
}
