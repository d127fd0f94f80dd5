#pragma once
// Paths of the infrastructure are written with "\\" as the separator, relative
// to the working directory. nativePath turns such a path into what the
// platform's file calls take; it is applied only where a file or folder is
// opened or created, so that logged paths keep their written form.
#include <string>

std::string nativePath(const std::string& path);
