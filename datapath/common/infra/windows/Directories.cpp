#include "../Directories.h"
#include "../Log.h"

#include <direct.h>
#include <errno.h>
#include <iostream>

void Directories::ensureExists(const std::string& path) {
    std::string parent = parentOf(path);
    if (!parent.empty() && _mkdir(parent.c_str()) != 0 && errno != EEXIST)
        std::cerr << "mkdir failed for parent " << parent << " and it does not exist" << std::endl;
    if (_mkdir(path.c_str()) != 0)
        ORV_CHECK_AS(errno == EEXIST, "(*_errno()) == 17",
                     "mkdir failed for dir " << path << " and it does not exist");
}
