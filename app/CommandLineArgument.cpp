#include "app/CommandLineArgument.h"

#include "app/Trace.h"

#include <strings.h>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Next ':'-separated token from pos, skipping empty ones; "" at the end.
std::string NextToken(const std::string& s, size_t& pos) {
    while (pos < s.size() && s[pos] == ':') ++pos;
    const size_t start = pos;
    while (pos < s.size() && s[pos] != ':') ++pos;
    return s.substr(start, pos - start);
}

} // namespace

void CCommandLineArgument::ParseParam(const char* param, bool /*isFlag*/, bool /*isLast*/) {
    QF_TRACE("CCommandLineArgument::ParseParam");
    if (m_bCallTo == 1 || param == nullptr) {
        QF_LEAVE();
        return;
    }
    const std::string token = Trim(param);
    size_t pos = 0;
    if (strcasecmp(NextToken(token, pos).c_str(), "callto") == 0) {
        m_bCallTo = 1;
        m_strNumber = Trim(NextToken(token, pos));
        m_bNumberDialled = 0;
        QF_LOG_DEBUG("callto number %s", m_strNumber.c_str());
    }
    QF_LEAVE();
}

void CCommandLineArgument::ParseCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const char* p = argv[i];
        if (p == nullptr) continue;
        const bool isFlag = p[0] == '-' || p[0] == '/';
        ParseParam(isFlag ? p + 1 : p, isFlag, i == argc - 1);
    }
}
