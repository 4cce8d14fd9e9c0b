#pragma once
// The house tracing convention, as a tiny helper:
//
//   int CFoo::Bar() {
//       QF_TRACE("CFoo::Bar");            // "********Entering********", level 7
//       if (bad) { QF_LOG_ERROR("Bar failed nRet = %d", n); return -1; }
//       QF_LOG_DEBUG("After Step()");     // level 3
//       QF_LEAVE();                       // "########Leaving########", level 7
//       return 1;
//   }
//
// Leaving is written only before a normal return, so it is explicit rather
// than a destructor. The tunnel classes use QF_LEAVE_SPACED() for their own
// spelling of the leaving line.
#include "app/Logger.h"

namespace qf {

class TraceScope {
public:
    TraceScope(const char* function, int line) : m_function(function) {
        CLogger::Log(CLogger::LEVEL_INFO, "", line, m_function, "********Entering********");
    }
    const char* Function() const { return m_function; }
    void Leave(int line) const { CLogger::Log(CLogger::LEVEL_INFO, "", line, m_function, "########Leaving########"); }
    void LeaveSpaced(int line) const {
        CLogger::Log(CLogger::LEVEL_INFO, "", line, m_function, "######## Leaving ########");
    }

private:
    const char* m_function;
};

} // namespace qf

#define QF_TRACE(qualifiedName) const ::qf::TraceScope qf_trace_scope_((qualifiedName), __LINE__)
#define QF_LEAVE() qf_trace_scope_.Leave(__LINE__)
#define QF_LEAVE_SPACED() qf_trace_scope_.LeaveSpaced(__LINE__)
#define QF_FUNC qf_trace_scope_.Function()

// Within a traced method (uses the method's qualified name).
#define QF_LOG_ERROR(...) CLogger::Log(CLogger::LEVEL_ERROR, "", __LINE__, QF_FUNC, __VA_ARGS__)
#define QF_LOG_WARNING(...) CLogger::Log(CLogger::LEVEL_WARNING, "", __LINE__, QF_FUNC, __VA_ARGS__)
#define QF_LOG_DEBUG(...) CLogger::Log(CLogger::LEVEL_DEBUG, "", __LINE__, QF_FUNC, __VA_ARGS__)
#define QF_LOG_INFO(...) CLogger::Log(CLogger::LEVEL_INFO, "", __LINE__, QF_FUNC, __VA_ARGS__)

// Anywhere, with an explicit function name.
#define QF_LOG_AT(level, function, ...) CLogger::Log((level), "", __LINE__, (function), __VA_ARGS__)
