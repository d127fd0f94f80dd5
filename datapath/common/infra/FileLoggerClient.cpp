#include "FileLoggerClient.h"

#include "Tweaks.h"

#include <sstream>

FileLoggerClient::FileLoggerClient(const std::string& path, u32 memoryLimitMb, u32 reserved,
                                   const std::string& title)
    : GenFileLogger(path, memoryLimitMb, false) {
    (void)reserved;
    Tweaks* tweaks = Tweaks::instance();
    setCompressOnRotate(tweaks->longVal("t_FileLoggerCompressOnRotate", 0) != 0);
    setFlushEveryLine(tweaks->longVal("t_FileLoggerFlushEveryLine", 0) != 0);
    setFlushEveryLineInWriter(tweaks->longVal("t_AsyncFileLoggerFlushEveryLine", 0) != 0);
    if (enabled() && tweaks->longVal("t_FileLoggerEnabled", 1) == 0)
        disable();

    std::ostringstream banner;
    formatLogTimestamp(banner, 3);
    banner << ", -----------------Log Start---------------------- " << title << " ----------------------"
           << "\n";
    const std::string opening[] = {"\n\n", banner.str(),
                                   "time,level,thread,logger,method,message,exception\n"};
    for (const std::string& line : opening)
        GenFileLogger::write(line.data(), static_cast<u32>(line.size()));
    // Started last: the opening lines are queued ahead of every record.
    startWriter();
}

void FileLoggerClient::write(const char* record, size_t length) {
    GenFileLogger::write(record, static_cast<u32>(length));
}

void FileLoggerClient::flush() {
    flushQueue();
}
