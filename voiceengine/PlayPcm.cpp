#include "voiceengine/PlayPcm.h"

#include <cstdio>

#include "app/Trace.h"
#include "voiceengine/FileConvert.h"
#include "voiceengine/Mixer.h"

int PlayPcm::Start(Mixer& mixer, int channel, const char* fileName, int loop, int format, float scale, int startMs,
                   int stopMs, int& error, const TraceFn& trace) {
    QF_TRACE("PlayPcm::Start");
    auto say = [&](int level, const char* text) {
        if (trace) trace(level, text);
    };
    std::FILE* stream = fileName ? std::fopen(fileName, "rb") : nullptr;
    if (!stream) {
        QF_LOG_ERROR("cannot open %s", fileName ? fileName : "(null)");
        error = kErrFile;
        return -1;
    }
    if (!(scale >= 0.0f && scale <= 1.0f)) {
        std::fclose(stream);
        error = kErrArguments;
        return -1;
    }
    const bool window = !(startMs == 0 && stopMs == 0);
    if (window && (startMs < 0 || stopMs < 0 || startMs > stopMs || startMs == stopMs || stopMs - startMs == 10)) {
        std::fclose(stream);
        error = kErrArguments;
        return -1;
    }
    if (format < FILEConvert::kFormatPcm16k || format > FILEConvert::kFormatPcm8k) {
        std::fclose(stream);
        error = kErrFile;
        return -1;
    }
    if (startMs > 0) {
        // The start must lie within the file: read its header to know.
        FILEConvert probe;
        std::FILE* again = std::fopen(fileName, "rb");
        if (!again || probe.Open(again, format, 1.0f, 0, 0, false) != 0) {
            std::fclose(stream);
            error = kErrFile;
            return -1;
        }
        if (startMs > probe.DurationMs()) {
            std::fclose(stream);
            error = kErrArguments;
            return -1;
        }
    }
    if (!mixer.IsPlaying(channel)) {
        say(kTraceWarning, "VE_PlayFile can only be used while VE_StartPlayout is active");
        std::fclose(stream);
        QF_LEAVE();
        return 0;
    }
    if (mixer.PlayAudio(channel, stream, format, scale, startMs, stopMs, loop != 0) != 0) {
        error = kErrFile;
        return -1;
    }
    QF_LEAVE();
    return 0;
}
