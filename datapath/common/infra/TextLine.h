#pragma once
// Line reading for the infrastructure's small text files (tweak files and
// consistent file sets): a line is read through a buffer of
// kTextLineBufferSize characters, so the longest accepted line has
// kTextLineBufferSize - 2 characters. A longer line ends the reading, as does
// the end of the stream; a last line without a line end is still read.
#include <cstddef>
#include <istream>
#include <string>

const size_t kTextLineBufferSize = 512;

// Reads the next line into `line` without its "\n". False at the end of the
// stream or at a line of kTextLineBufferSize - 1 or more characters; the
// stream is then left where the reading stopped. Any byte, NUL included, is
// kept as it is.
bool readTextLine(std::istream& in, std::string& line);
