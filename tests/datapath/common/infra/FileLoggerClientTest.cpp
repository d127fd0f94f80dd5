#include "FileLoggerClient.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <regex>

TEST(FileLoggerClient, EveryClientOpensItsFileWithBannerAndHeader) {
    TempWorkingDir dir;
    // Clients run their writer until the process ends: they are kept, never freed.
    static FileLoggerClient* first = new FileLoggerClient(dir.file("A.log"), 1, 0, "");
    first->write(std::string("2026-12-04 15:20:24.123,Info,1,NON,,wmain,one\n"));
    first->flush();
    static FileLoggerClient* second = new FileLoggerClient(dir.file("A.log"), 1, 0, "second run");
    second->flush();

    const std::string opening =
        "\n\n[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}, "
        "-----------------Log Start---------------------- (.*) ----------------------\n"
        "time,level,thread,logger,method,message,exception\n";
    std::string text = TempWorkingDir::readFile(dir.file("A.log.txt"));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        text, m, std::regex(opening + "2026-12-04 15:20:24.123,Info,1,NON,,wmain,one\n" + opening)))
        << text;
    EXPECT_EQ("", m[1].str());
    EXPECT_EQ("second run", m[2].str());
}
