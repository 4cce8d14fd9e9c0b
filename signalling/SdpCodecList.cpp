#include "signalling/SdpCodecList.h"

#include "app/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct KnownCodec {
    int payload;
    const char* name;
    int clockRate;
    int mode;
};

// What the phone itself can carry, by the payload numbers of its settings.
constexpr KnownCodec kLocalCodecs[] = {
    {0, "PCMU", 8000, 0},    {8, "PCMA", 8000, 0},    {97, "WBPCM", 8000, 0}, {100, "XG711U", 8000, 0},
    {101, "XG711A", 8000, 0}, {102, "iLBC", 8000, 30}, {103, "AWB", 8000, 0},
};

// Static payload types a peer may offer without an rtpmap line.
constexpr KnownCodec kStaticPayloads[] = {
    {0, "PCMU", 8000, 0}, {3, "GSM", 8000, 0}, {8, "PCMA", 8000, 0}, {15, "G728", 8000, 0}, {18, "G729", 8000, 0},
};

void Fill(CodecInfo& entry, const KnownCodec& known) {
    std::snprintf(entry.name, sizeof(entry.name), "%s", known.name);
    entry.clockRate = known.clockRate;
    entry.mode = known.mode;
}

} // namespace

int CSdpCodecList::Parse(const char* list, CodecInfo* table, int maxEntries) {
    QF_TRACE("CSdpCodecList::Parse");
    if (list == nullptr || table == nullptr || maxEntries <= 0) {
        QF_LOG_ERROR("Invalid codec list or table");
        return 0;
    }
    if (maxEntries > MAX_CODECS) maxEntries = MAX_CODECS;
    int count = 0;
    const char* p = list;
    while (count < maxEntries) {
        const char* comma = std::strchr(p, ',');
        if (comma == nullptr) break;
        // Only the text before the comma counts; a stray sign or letter
        // reads as the number it starts with, as the settings always did.
        char part[32] = {0};
        const size_t len = static_cast<size_t>(comma - p) < sizeof(part) - 1 ? static_cast<size_t>(comma - p)
                                                                            : sizeof(part) - 1;
        std::memcpy(part, p, len);
        const long value = std::strtol(part, nullptr, 10);
        p = comma + 1;
        if (value < 0 || value > 127) {
            // Not an RTP payload type; announcing it would only confuse peers.
            QF_LOG_ERROR("Ignoring payload number %ld in codec list", value);
            continue;
        }
        CodecInfo& entry = table[count];
        std::memset(&entry, 0, sizeof(entry));
        entry.payload = static_cast<uint8_t>(value);
        DescribeLocal(entry);
        ++count;
    }
    QF_LOG_DEBUG("Codec list [%s] gives %d entries", list, count);
    QF_LEAVE();
    return count;
}

void CSdpCodecList::DescribeLocal(CodecInfo& entry) {
    for (const auto& known : kLocalCodecs) {
        if (known.payload == entry.payload) {
            Fill(entry, known);
            return;
        }
    }
}

int CSdpCodecList::NameStaticPayload(CodecInfo& entry) {
    for (const auto& known : kStaticPayloads) {
        if (known.payload == entry.payload) {
            Fill(entry, known);
            return 1;
        }
    }
    return 0;
}
