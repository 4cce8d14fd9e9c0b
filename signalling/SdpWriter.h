#pragma once
// Writes the SDP offer or answer the phone sends: one audio stream with
// the given codec entries in order of preference.
#include "signalling/SessionProtocol.h"

#include <cstddef>

class CSdpWriter {
public:
    enum {
        MAX_CODECS = 20,
        MAX_SDP_TEXT = 1020,     // whole description
        MAX_PAYLOAD_LIST = 255,  // " 102 8 0" part of the m= line
        MAX_ATTRIBUTE_TEXT = 510 // rtpmap and fmtp lines together
    };

    // Writes the description into out (NUL-terminated) and returns its
    // length. The session id starts with the digit 2 and the version with
    // 3, followed by the two random numbers. An entry whose payload or
    // attribute lines would overflow their limits is left out together
    // with the entries after it (logged). Returns -1 when an argument is
    // missing and -2 when the text would not fit into out or into
    // MAX_SDP_TEXT characters; out then holds an empty string.
    static int Write(char* out, size_t outSize, const CodecInfo* codecs, int count, const char* localIp,
                     const char* localRtpPort, const char* userAgent, unsigned sessionId, unsigned sessionVersion);
};
