#pragma once
// Receive payload types per channel: which codec a received payload type
// stands for. Each channel starts with all 13 codecs at their table
// numbers; rebinding one codec to a number another codec holds moves the
// other one to the lowest free dynamic number (96 + n).
#include "voiceengine/CodecTable.h"

#include <cstdint>
#include <map>
#include <mutex>

class VERTPDatabase {
public:
    enum { kMaxChannels = 32 };

    struct Entry {
        int payloadType = -1;
        int codecIndex = -1;
        char name[32] = {};
        int frequency = 0;
    };

    explicit VERTPDatabase(const VECodecTable& table);

    // Registers the 13 codecs for the channel (replacing what it had).
    void CreateChannel(int channel);
    // Forgets the channel's bindings, clearing their dynamic mask bits.
    void DeleteChannel(int channel);

    // Rebinds the codec found by name and frequency to payloadType.
    // 0, or -1 when the channel has no such codec.
    int Rebind(int channel, const char* name, int frequency, int payloadType);
    // 0 and the entry, or -1 when the payload type is not bound.
    int Lookup(int channel, int payloadType, Entry& entry) const;
    // Payload type bound to a codec index, or -1.
    int PayloadTypeOf(int channel, int codecIndex) const;
    uint32_t DynamicMask(int channel) const;

private:
    struct Channel {
        bool used = false;
        std::map<int, Entry> byType;
        int typeOfCodec[VECodecTable::kCount];
        uint32_t mask = 0;
    };
    static bool IsDynamic(int pt) { return pt >= 96 && pt <= 127; }

    const VECodecTable& m_table;
    mutable std::mutex m_lock;
    Channel m_channels[kMaxChannels];
};
