#include "AgentInitializer.h"

std::string AgentInitializer::currentLogPath(const std::string& path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return path + ".current";
    return path.substr(0, dot) + ".current" + path.substr(dot);
}
