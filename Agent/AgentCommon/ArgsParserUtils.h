#pragma once

class ArgsParserUtils {
public:
    // Logs every argument after the program name, each cut to 50 bytes.
    static void printArgs(int argc, const wchar_t* const* argv);
};
