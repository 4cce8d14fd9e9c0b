#include "voiceengine/rtp/VERtpInterfaces.h"

#include <cstdarg>
#include <cstdio>

void VERtpTrace(VERtpTraceSink* sink, int level, const char* format, ...) {
    if (!sink || !sink->Wants(level)) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    sink->Line(level, text);
}
