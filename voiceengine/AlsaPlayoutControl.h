#pragma once
// The adaptive playout buffer of the sound card: decides, from how much
// written audio the device has not played yet, whether to write the next
// 10 ms block, how soon to look again, and how deep the buffer should be.
//
// The target depth (_buffersize) starts at 80 ms. Running dry makes it grow
// (15, 15, 30 ms on the first, second and third consecutive underrun, with
// the floor _minBuffer rising 10, 20, 25 ms); a level below the floor makes
// it grow by 10 ms; a long calm spell (2000 calls) makes it shrink by 1 ms
// every 10 calls down to the floor. Depth stays between _minBuffer and
// 150 ms, the floor at most _maxMinBuffer.
//
// Pure logic: the ALSA backend feeds it the device delay and does the
// writing; tests feed it numbers.
#include <cstdint>
#include <functional>
#include <string>

class AlsaPlayoutControl {
public:
    enum { kTraceWarning = 2, kTraceTimer = 32 };
    using TraceFn = std::function<void(int level, const std::string& text)>;

    struct Decision {
        bool writeBlock = false;
    };

    AlsaPlayoutControl() { Reset(false); }
    void SetTrace(TraceFn trace) { m_trace = std::move(trace); }

    // Values of a freshly initialised playout device. A device named
    // "Bluetooth Audio" needs a deeper floor.
    void Reset(bool bluetooth);

    // One PlayProc step. er: ms written but not yet played.
    // writtenSamples/playedSamples only go into the traces.
    Decision Step(int er, unsigned long writtenSamples = 0, unsigned long playedSamples = 0);

    int BufferSize() const { return _buffersize; }
    int MinBuffer() const { return _minBuffer; }
    int MaxMinBuffer() const { return _maxMinBuffer; }
    int PlayInterval() const { return m_playInterval; }
    int WaitCounter() const { return _waitCounter; }
    int Underruns() const { return m_underruns; }
    bool StartupPhase() const { return m_startup; }

private:
    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    TraceFn m_trace;
    int _buffersize = 80;
    int _minBuffer = 25;
    int _maxMinBuffer = 65;
    int m_playInterval = 10;
    int _waitCounter = 0;
    int m_underruns = 0;
    bool m_startup = true;
};
