#include "platform/Diagnostics.h"

#include <cstdio>
#include <mutex>

namespace qf::platform {
namespace {

struct SinkHolder {
    std::mutex lock;
    DiagnosticSink sink;
};

SinkHolder& Holder() {
    static SinkHolder holder; // built on first use, whatever the static order
    return holder;
}

} // namespace

void SetDiagnosticSink(DiagnosticSink sink) {
    auto& h = Holder();
    std::lock_guard<std::mutex> lk(h.lock);
    h.sink = std::move(sink);
}

void ReportDiagnostic(int level, const char* function, const std::string& text) {
    DiagnosticSink sink;
    {
        auto& h = Holder();
        std::lock_guard<std::mutex> lk(h.lock);
        sink = h.sink;
    }
    if (sink)
        sink(level, function, text);
    else
        std::fprintf(stderr, "[%s] %s\n", function ? function : "", text.c_str());
}

} // namespace qf::platform
