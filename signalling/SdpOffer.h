#pragma once
// The peer's audio description, read from its SDP offer or answer, and
// the choice of one codec from it against our local codec table.
//
// Reading never trusts the text: missing lines, bad numbers and
// oversized lists give a failure result or a logged skip, not a crash.
#include "signalling/SessionProtocol.h"

#include <osipparser2/sdp_message.h>

class CSdpOffer {
public:
    enum {
        MAX_CODECS = 20,     // remote codecs kept, in the peer's order
        MAX_ATTRIBUTES = 20, // media attributes examined
        MAX_PTIME = 1000     // ms; anything above is not a packet time
    };
    // Results of Parse and Read.
    enum {
        READ_OK = 1,
        READ_NO_SDP = -1,     // no body, or not SDP
        READ_NO_AUDIO = -2,   // no usable m=audio line
        READ_NO_ADDRESS = -3, // no connection address for the audio
    };

    CSdpOffer();

    // Parses SDP text (null or empty counts as missing), then Read.
    int Parse(const char* text);
    // Reads the first audio media of a parsed description.
    int Read(sdp_message_t* sdp);

    const char* RtpIp() const { return m_rtpIp; }
    const char* RtpPort() const { return m_rtpPort; }
    int Ptime() const { return m_ptime; }
    int CodecCount() const { return m_codecCount; }
    CodecInfo* Codecs() { return m_codecs; }
    const CodecInfo* Codecs() const { return m_codecs; }

    // Walks the remote entries in the peer's order and, for each, the local
    // entries in table order; the first pair with equal names (ignoring
    // case) wins. iLBC entries must also agree on the mode, and a remote
    // iLBC without a mode is taken as mode 30 (the entry is updated). An
    // entry without a name never matches. Returns the local index and
    // stores the remote index, or -1 when nothing matches.
    static int MatchCodec(CodecInfo* remote, int remoteCount, const CodecInfo* local, int localCount,
                          int* remoteIndex);

    // The first remote "telephone-event" entry that the local table also
    // names. Returns the local index and stores the remote index, or -1.
    static int MatchTelephoneEvent(const CodecInfo* remote, int remoteCount, const CodecInfo* local,
                                   int localCount, int* remoteIndex);

    // Writes the remote list to the log under a heading, one block per
    // entry introduced by the separator line.
    void LogCodecs(const char* heading, const char* separator) const;

private:
    void Clear();
    void ReadPayloads(sdp_media_t* media);
    void ReadAttributes(sdp_media_t* media);
    void ReadRtpmap(const char* value);
    void ReadFmtp(const char* value);
    void ReadPtime(const char* value);
    CodecInfo* FindPayload(long payload);

    char m_rtpIp[256];
    char m_rtpPort[256];
    int m_ptime;
    int m_codecCount;
    CodecInfo m_codecs[MAX_CODECS];
};
