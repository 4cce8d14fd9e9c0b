#include "signalling/ua/DtmfInfoBody.h"

#include "app/Trace.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The leading decimal number of text, as the peers' digits have always
// been read (blanks skipped, junk gives 0), kept within int range.
int DecimalValue(const char* text) {
    errno = 0;
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return static_cast<int>(v);
}

} // namespace

int CDtmfInfoBody::Read(const char* body, size_t len, int* signal, int* duration) {
    QF_TRACE("CDtmfInfoBody::Read");
    int sig = NO_SIGNAL;
    int dur = 0;
    int found = 0;
    size_t pos = 0;
    while (body != nullptr && pos < len) {
        // One line: up to the next control character.
        char line[MAX_LINE + 1];
        size_t n = 0;
        while (pos < len && static_cast<unsigned char>(body[pos]) >= 0x20 && body[pos] != 0x7f) {
            if (n < MAX_LINE) line[n++] = body[pos];
            ++pos;
        }
        line[n] = '\0';
        while (pos < len && (static_cast<unsigned char>(body[pos]) < 0x20 || body[pos] == 0x7f)) ++pos;
        if (n == 0) continue;
        const char* equals = std::strchr(line, '=');
        const char* value = equals ? equals + 1 : "";
        if (std::strstr(line, "Signal") != nullptr) {
            found = 1;
            if (std::strcmp(value, "*") == 0) {
                sig = 10;
            } else if (std::strcmp(value, "#") == 0) {
                sig = 11;
            } else {
                sig = DecimalValue(value);
            }
        } else if (std::strstr(line, "Duration") != nullptr) {
            dur = DecimalValue(value);
        }
    }
    if (signal) *signal = sig;
    if (duration) *duration = dur;
    QF_LEAVE();
    return found;
}
