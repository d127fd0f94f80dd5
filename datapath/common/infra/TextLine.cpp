#include "TextLine.h"

bool readTextLine(std::istream& in, std::string& line) {
    char buffer[kTextLineBufferSize];
    in.getline(buffer, sizeof buffer);
    // failbit: nothing left, or the buffer filled up before a line end.
    if (in.fail())
        return false;
    size_t length = static_cast<size_t>(in.gcount());
    // gcount counts the line end, which is extracted but not stored; a last
    // line cut by the end of the stream has none.
    if (!in.eof())
        --length;
    if (length >= kTextLineBufferSize - 1)
        return false;
    line.assign(buffer, length);
    return true;
}
