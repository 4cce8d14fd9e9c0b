#pragma once
// Starting a file into a channel's playout: the argument checks and result
// codes of the engine's play-file operation, in front of the mixer.
//
// Order of the checks: the file must open ("rb", else 10016); the volume
// scale must lie in 0..1 and the start/stop window must make sense (else
// 10021); a channel that does not play gets nothing played and the call
// still succeeds with a warning; a file that cannot be read, or a second
// file on the same channel, gives 10016.
#include <functional>
#include <string>

class Mixer;

class PlayPcm {
public:
    enum { kErrFile = 10016, kErrArguments = 10021 };
    enum { kTraceWarning = 2, kTraceError = 4 };
    using TraceFn = std::function<void(int level, const std::string& text)>;

    // 0 when playing (or when the channel does not play); -1 with error set.
    static int Start(Mixer& mixer, int channel, const char* fileName, int loop, int format, float scale, int startMs,
                     int stopMs, int& error, const TraceFn& trace = {});
};
