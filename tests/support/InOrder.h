#pragma once
// A matcher for a death test's standard error: each piece, an ECMAScript
// regular expression, must be found after the end of the previous one. Unlike
// gtest's own regular expressions it reads the same on every platform and
// spans the records of a whole report.
#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <string>
#include <vector>

class InOrderMatcher : public ::testing::MatcherInterface<const std::string&> {
public:
    explicit InOrderMatcher(std::vector<std::string> pieces) : m_pieces(std::move(pieces)) {}

    bool MatchAndExplain(const std::string& text, ::testing::MatchResultListener* listener) const override {
        std::string::const_iterator from = text.begin();
        for (const std::string& piece : m_pieces) {
            std::smatch match;
            if (!std::regex_search(from, text.end(), match, std::regex(piece))) {
                *listener << "no \"" << piece << "\" after offset " << (from - text.begin());
                return false;
            }
            from = match[0].second;
        }
        return true;
    }
    void DescribeTo(std::ostream* os) const override {
        *os << "has, in order:";
        for (const std::string& piece : m_pieces)
            *os << " \"" << piece << "\"";
    }

private:
    std::vector<std::string> m_pieces;
};

inline ::testing::Matcher<const std::string&> InOrder(std::vector<std::string> pieces) {
    return ::testing::MakeMatcher(new InOrderMatcher(std::move(pieces)));
}
