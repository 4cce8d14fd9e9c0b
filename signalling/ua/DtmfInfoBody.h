#pragma once
// Reads the DTMF digit of an INFO request body of the form
//   Signal=5
//   Duration=160
#include <cstddef>

class CDtmfInfoBody {
public:
    enum { MAX_LINE = 255, NO_SIGNAL = -1 };

    // Reads len bytes of body (no terminator needed). Lines end at any
    // control character; a line containing "Signal" gives the signal text
    // after its first "=", one containing "Duration" the duration. The
    // signal is 10 for exactly "*", 11 for exactly "#", otherwise the
    // leading decimal number of its text (0 when there is none). Without a
    // Signal line the signal is NO_SIGNAL; without a Duration line the
    // duration is 0. Lines longer than MAX_LINE are cut. Returns 1 when a
    // Signal line was found, else 0.
    static int Read(const char* body, size_t len, int* signal, int* duration);
};
