#include "AgentCommon/ArgsParserUtils.h"

#include "AgentCommon/TextConversion.h"
#include "Log.h"

namespace {
const size_t kLoggedArgumentBytes = 50;
} // namespace

void ArgsParserUtils::printArgs(int argc, const wchar_t* const* argv) {
    LOG(LogInfo) << "arguments are :" << std::endl;
    for (int i = 1; i < argc; ++i)
        LOG(LogInfo) << narrowText(argv[i]).substr(0, kLoggedArgumentBytes) << std::endl;
}
