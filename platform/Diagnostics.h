#pragma once
// How the platform layer reports trouble it cannot return to a caller
// (a damaged store file put aside, a stale lock taken over). The platform
// sits below the logger, so the application installs a sink that forwards
// these reports into the log; without one they go to standard error.
#include <functional>
#include <string>

namespace qf::platform {

// level follows the log's levels (1 error, 2 warning, 3 detail).
using DiagnosticSink = std::function<void(int level, const char* function, const std::string& text)>;

// Installs the sink (an empty function restores the default). Thread-safe.
void SetDiagnosticSink(DiagnosticSink sink);

void ReportDiagnostic(int level, const char* function, const std::string& text);

} // namespace qf::platform
