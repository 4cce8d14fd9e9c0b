#include "signalling/SdpWriter.h"

#include "app/Trace.h"

#include <cstdio>
#include <cstring>

int CSdpWriter::Write(char* out, size_t outSize, const CodecInfo* codecs, int count, const char* localIp,
                      const char* localRtpPort, const char* userAgent, unsigned sessionId,
                      unsigned sessionVersion) {
    QF_TRACE("CSdpWriter::Write");
    if (out == nullptr || outSize == 0) {
        QF_LOG_ERROR("No buffer for SDP");
        return -1;
    }
    out[0] = '\0';
    if (codecs == nullptr || localIp == nullptr || localRtpPort == nullptr || userAgent == nullptr) {
        QF_LOG_ERROR("Missing SDP parameters");
        return -1;
    }
    if (count > MAX_CODECS) count = MAX_CODECS;

    char payloads[MAX_PAYLOAD_LIST + 1] = {0};
    char attributes[MAX_ATTRIBUTE_TEXT + 1] = {0};
    size_t payloadLen = 0;
    size_t attributeLen = 0;
    for (int i = 0; i < count; ++i) {
        const CodecInfo& c = codecs[i];
        char payload[16];
        const int pl = std::snprintf(payload, sizeof(payload), " %d", c.payload);
        char lines[2 * 300];
        int ll = std::snprintf(lines, sizeof(lines), "a=rtpmap:%d %.255s/%d\r\n", c.payload, c.name, c.clockRate);
        if (c.mode != 0 && ll > 0 && static_cast<size_t>(ll) < sizeof(lines)) {
            ll += std::snprintf(lines + ll, sizeof(lines) - static_cast<size_t>(ll), "a=fmtp:%d mode=%d\r\n",
                                c.payload, c.mode);
        }
        if (pl < 0 || ll < 0 || static_cast<size_t>(ll) >= sizeof(lines) ||
            payloadLen + static_cast<size_t>(pl) > MAX_PAYLOAD_LIST ||
            attributeLen + static_cast<size_t>(ll) > MAX_ATTRIBUTE_TEXT) {
            // A partial line would make the whole description unreadable;
            // offer what fits instead.
            QF_LOG_ERROR("SDP codec list cut at entry %d of %d", i, count);
            break;
        }
        std::memcpy(payloads + payloadLen, payload, static_cast<size_t>(pl) + 1);
        payloadLen += static_cast<size_t>(pl);
        std::memcpy(attributes + attributeLen, lines, static_cast<size_t>(ll) + 1);
        attributeLen += static_cast<size_t>(ll);
    }

    char text[MAX_SDP_TEXT + 1];
    const int n = std::snprintf(text, sizeof(text),
                                "v=0\r\no=%s 2%u 3%u IN IP4 %s\r\ns=%s\r\nc=IN IP4 %s\r\nt=0 0\r\nm=audio %s "
                                "RTP/AVP%s\r\n%sa=direction:active\r\n",
                                "-", sessionId, sessionVersion, localIp, userAgent, localIp, localRtpPort, payloads,
                                attributes);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(text) || static_cast<size_t>(n) >= outSize) {
        QF_LOG_ERROR("SDP text too long (%d characters)", n);
        return -2;
    }
    std::memcpy(out, text, static_cast<size_t>(n) + 1);
    QF_LEAVE();
    return n;
}
