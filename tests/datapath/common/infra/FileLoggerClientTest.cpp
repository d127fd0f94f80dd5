#include "FileLoggerClient.h"
#include "FileLoggerTestSupport.h"

#include <regex>

namespace {

// Clients run their writer until the process ends, so they are never freed.
FileLoggerClient* newClient(const std::string& path, const std::string& title) {
    static std::vector<FileLoggerClient*> s_kept;
    s_kept.push_back(new FileLoggerClient(path, 1, 0, title));
    return s_kept.back();
}

const char* const kOpening = "\n\n"
                             "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}, "
                             "-----------------Log Start---------------------- (.*) ----------------------\n"
                             "time,level,thread,logger,method,message,exception\n";

TEST(FileLoggerClient, EveryClientOpensItsFileWithBannerAndHeader) {
    TempDir dir;
    FileLoggerClient* first = newClient(dir.path("A.log"), "");
    first->write(std::string("2026-12-04 15:20:24.123,Info,1,NON,,wmain,one\n"));
    first->flush();
    // A later client on the same file appends its own opening lines.
    FileLoggerClient* second = newClient(dir.path("A.log"), "second run");
    second->flush();

    std::string text = readFile(dir.path("A.log.txt"));
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(text, m,
                          std::regex(std::string("^") + kOpening +
                                     "2026-12-04 15:20:24.123,Info,1,NON,,wmain,one\n" + kOpening + "$")))
        << text;
    EXPECT_EQ("", m[1].str());
    EXPECT_EQ("second run", m[2].str());
}

} // namespace
