#include "voiceengine/AlsaPlayoutControl.h"

#include <cstdarg>
#include <cstdio>

void AlsaPlayoutControl::trace(int level, const char* fmt, ...) {
    if (!m_trace) return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    m_trace(level, buf);
}

void AlsaPlayoutControl::Reset(bool bluetooth) {
    _buffersize = 80;
    _minBuffer = bluetooth ? 80 : 25;
    _maxMinBuffer = bluetooth ? 80 : 65;
    m_playInterval = 10;
    _waitCounter = 0;
    m_underruns = 0;
    m_startup = true;
}

AlsaPlayoutControl::Decision AlsaPlayoutControl::Step(int er, unsigned long writtenSamples,
                                                      unsigned long playedSamples) {
    Decision d;
    ++_waitCounter;
    if (er < _buffersize + 9) {
        m_playInterval = 5;
        if (er > 0 && er < _minBuffer) {
            if (_waitCounter > 30) {
                _buffersize += 10;
                if (!m_startup) _waitCounter = 0;
                trace(kTraceTimer,
                      "\tPlayout status: er<minBuffer (er=%i *writtenSamples=%lu *playedSamples=%lu), buffersize=%d, "
                      "minBuffer=%i",
                      er, writtenSamples, playedSamples, _buffersize, _minBuffer);
            }
        }
        if (er >= _minBuffer) {
            m_underruns = 0;
            if (er >= _buffersize - 9) m_playInterval = 10;
        }
        if (er == 0 && _waitCounter > 30) {
            if (m_underruns == 1) {
                _buffersize += 15;
                _minBuffer += 20;
                _waitCounter = 50;
                m_underruns = 2;
            } else if (m_underruns == 2) {
                _buffersize += 30;
                _minBuffer += 25;
                m_underruns = 0;
                _waitCounter = 0;
            } else {
                _buffersize += 15;
                _minBuffer += 10;
                _waitCounter = 50;
                m_underruns = 1;
            }
            trace(kTraceTimer, "\tPlayout status: er=0, buffersize=%d, minBuffer=%d", _buffersize, _minBuffer);
        }
        d.writeBlock = true;
    } else if (er > _buffersize + 9) {
        if (er > 500)
            trace(kTraceWarning, "\tPlayout status: er=%i *writtenSamples=%lu *playedSamples=%lu", er, writtenSamples,
                  playedSamples);
        m_underruns = 0;
        m_playInterval = 2;
    }
    if (_waitCounter > 2000) {
        _buffersize -= 1;
        m_startup = false;
        _waitCounter = 1990;
        trace(kTraceTimer, "\tPlayout status: _waitCounter>2000, buffersize=%d, minBuffer=%d", _buffersize, _minBuffer);
    }
    if (_buffersize < _minBuffer) {
        _buffersize = _minBuffer;
        trace(kTraceTimer, "\tPlayout status: buffersize=%d, minBuffer=%d", _buffersize, _minBuffer);
    }
    if (_buffersize > 150) {
        _buffersize = 150;
        trace(kTraceTimer, "\tPlayout status: er=%d buffersize>150, buffersize=%d, minBuffer=%d", er, _buffersize,
              _minBuffer);
    }
    if (_minBuffer > _maxMinBuffer) {
        _minBuffer = _maxMinBuffer;
        trace(kTraceTimer, "\tPlayout status: minBuffer>65, buffersize=%d, minBuffer=%d", _buffersize, _minBuffer);
    }
    return d;
}
