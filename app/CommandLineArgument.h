#pragma once
// The parsed command line. The only parameter the program understands is
// callto:number (keyword in any letter case): the number is dialled after
// the first successful registration, once per process.
#include <string>

class CCommandLineArgument {
public:
    std::string m_strNumber;   // number from the callto parameter
    int m_bNumberDialled = 0;  // set by the main window once it has dialled
    int m_bCallTo = 0;         // 1 once a callto parameter was accepted

    // Called once per token. Only the first callto counts; every other
    // token is ignored.
    void ParseParam(const char* param, bool isFlag, bool isLast);

    // Feeds argv[1..] to ParseParam; a leading '-' or '/' marks a flag
    // and is stripped, as the class library did.
    void ParseCommandLine(int argc, const char* const* argv);

    bool IsCallTo() const { return m_bCallTo != 0; }
    std::string GetNumber() const { return m_strNumber; }
};
