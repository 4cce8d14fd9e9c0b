#pragma once
// The engine's fixed table of 13 codecs and the four ordered lists through
// which callers see it, one per network type.
#include "voiceengine/VECodecInfo.h"

#include <array>

class VECodecTable {
public:
    enum Index {
        kPCMU = 0,
        kPCMA = 1,
        kWBPCM = 2,
        kAWBLC = 3,
        kILBC = 4,
        kXG711U = 5,
        kXG711A = 6,
        kAWB = 7,
        kG729 = 8,
        kTelephoneEvent = 9,
        kRed = 10,
        kCN8 = 11,
        kCN16 = 12,
        kCount = 13,
    };
    enum { kListSlots = 30, kMaxAllowedSizes = 6, kNetworkTypes = 4 };

    struct Entry {
        VECodecInfo info;
        int allowedSizes[kMaxAllowedSizes]; // 0 ends the list
    };

    VECodecTable();

    const Entry& At(int index) const { return m_entries[index]; }
    // Number of entries of the list for a network type (13, 13, 13, 8).
    int ListCount(int networkType) const;
    // Codec index at a list position, or -1 (empty place or bad position).
    int ListEntry(int networkType, int position) const;
    // First codec of the network type's list with that name, or -1.
    int FindInList(int networkType, const char* name) const;
    // Codec of the whole table by name and frequency, or -1.
    int Find(const char* name, int frequency) const;
    // Index under which a codec name was stored (first of equal names), -1.
    int IndexOf(const char* name) const;
    // Comfort-noise entry for a sampling rate (CN 16 kHz for 16000 Hz).
    int ComfortNoiseFor(int frequency) const { return frequency == 16000 ? kCN16 : kCN8; }
    bool IsAllowedPacketSize(int index, int packetSize) const;

    static bool NameEquals(const char* a, const char* b);

private:
    std::array<Entry, kCount> m_entries{};
    int m_lists[kNetworkTypes][kListSlots];
    int m_listCounts[kNetworkTypes];
};
