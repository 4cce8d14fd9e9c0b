#pragma once
// The local codec table and the names we know for payload types.
//
// The owner keeps its codec preference as a list string of payload
// numbers, each followed by a comma ("102,8,0,"). Parse turns that into
// the table handed to the session protocol; the table order is the order
// of preference announced in offers.
#include "signalling/SessionProtocol.h"

class CSdpCodecList {
public:
    enum { MAX_CODECS = 20 };

    // Fills at most min(maxEntries, 20) entries from the list string and
    // returns how many were written. Text after the last comma is ignored.
    // A null list or table gives 0.
    static int Parse(const char* list, CodecInfo* table, int maxEntries);

    // Fills name, clock rate and mode of a local entry from its payload
    // number. Payload numbers we have no codec for keep an empty name.
    static void DescribeLocal(CodecInfo& entry);

    // Names the static payload types of a peer's offer (PCMU, GSM, PCMA,
    // G728, G729) before its rtpmap lines are read. Returns 1 when the
    // payload was named, 0 when it stays unnamed.
    static int NameStaticPayload(CodecInfo& entry);
};
