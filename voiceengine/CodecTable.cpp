#include "voiceengine/CodecTable.h"

#include <cstring>
#include <strings.h>

namespace {

VECodecTable::Entry MakeEntry(const char* name, int pt, int freq, int size, int rate,
                              std::initializer_list<int> allowed) {
    VECodecTable::Entry e{};
    e.info.payloadType = pt;
    strncpy(e.info.name, name, sizeof e.info.name - 1);
    e.info.frequency = freq;
    e.info.packetSize = size;
    e.info.channels = 1;
    e.info.rate = rate;
    int i = 0;
    for (int a : allowed)
        e.allowedSizes[i++] = a;
    return e;
}

} // namespace

VECodecTable::VECodecTable() {
    m_entries[kPCMU] = MakeEntry("PCMU", 0, 8000, 160, 64000, {80, 160, 240, 320, 400, 480});
    m_entries[kPCMA] = MakeEntry("PCMA", 8, 8000, 160, 64000, {80, 160, 240, 320, 400, 480});
    m_entries[kWBPCM] = MakeEntry("WBPCM", 97, 16000, 320, 80000, {160, 320, 480, 640});
    m_entries[kAWBLC] = MakeEntry("AWBLC", 119, 16000, 320, 40000, {160, 320, 480, 640});
    m_entries[kILBC] = MakeEntry("iLBC", 102, 8000, 240, 13300, {160, 240, 320, 480});
    m_entries[kXG711U] = MakeEntry("XG711U", 100, 8000, 160, 64000, {80, 160, 240, 320});
    m_entries[kXG711A] = MakeEntry("XG711A", 101, 8000, 160, 64000, {80, 160, 240, 320});
    m_entries[kAWB] = MakeEntry("AWB", 103, 16000, 480, -1, {480, 960});
    m_entries[kG729] = MakeEntry("G729", 18, 8000, 160, 8000, {80, 160, 240, 320, 400, 480});
    m_entries[kTelephoneEvent] = MakeEntry("telephone-event", 106, 8000, 1600, 0, {1600});
    m_entries[kRed] = MakeEntry("red", 117, 8000, 0, 0, {0});
    m_entries[kCN8] = MakeEntry("CN", 13, 8000, 1, 0, {160});
    m_entries[kCN16] = MakeEntry("CN", 105, 16000, 1, 0, {320});

    const int lists[kNetworkTypes][kCount] = {
        {kWBPCM, kAWB, kAWBLC, kXG711U, kXG711A, kPCMU, kPCMA, kILBC, kG729, kRed, kTelephoneEvent, kCN8, kCN16},
        {kWBPCM, kAWB, kAWBLC, kXG711U, kXG711A, kPCMU, kPCMA, kILBC, kG729, kTelephoneEvent, kRed, kCN8, kCN16},
        {kAWB, kAWBLC, kWBPCM, kXG711U, kXG711A, kPCMU, kPCMA, kILBC, kG729, kTelephoneEvent, kRed, kCN8, kCN16},
        {kAWB, kILBC, kAWBLC, kG729, kTelephoneEvent, kRed, kCN8, kCN16, -1, -1, -1, -1, -1},
    };
    const int counts[kNetworkTypes] = {13, 13, 13, 8};
    for (int t = 0; t < kNetworkTypes; ++t) {
        for (int i = 0; i < kListSlots; ++i)
            m_lists[t][i] = i < counts[t] ? lists[t][i] : -1;
        m_listCounts[t] = counts[t];
    }
}

bool VECodecTable::NameEquals(const char* a, const char* b) {
    return a && b && strncasecmp(a, b, sizeof(VECodecInfo::name)) == 0;
}

int VECodecTable::ListCount(int networkType) const {
    if (networkType < 0 || networkType >= kNetworkTypes)
        return 0;
    return m_listCounts[networkType];
}

int VECodecTable::ListEntry(int networkType, int position) const {
    if (networkType < 0 || networkType >= kNetworkTypes || position < 0 || position >= kListSlots)
        return -1;
    if (position >= m_listCounts[networkType])
        return -1;
    return m_lists[networkType][position];
}

int VECodecTable::FindInList(int networkType, const char* name) const {
    for (int p = 0; p < ListCount(networkType); ++p) {
        int idx = m_lists[networkType][p];
        if (idx >= 0 && NameEquals(m_entries[idx].info.name, name))
            return idx;
    }
    return -1;
}

int VECodecTable::Find(const char* name, int frequency) const {
    for (int i = 0; i < kCount; ++i)
        if (NameEquals(m_entries[i].info.name, name) && m_entries[i].info.frequency == frequency)
            return i;
    return -1;
}

int VECodecTable::IndexOf(const char* name) const {
    for (int i = 0; i < kCount; ++i)
        if (NameEquals(m_entries[i].info.name, name))
            return i;
    return -1;
}

bool VECodecTable::IsAllowedPacketSize(int index, int packetSize) const {
    if (index < 0 || index >= kCount || packetSize <= 0)
        return false;
    for (int a : m_entries[index].allowedSizes) {
        if (a == 0)
            break;
        if (a == packetSize)
            return true;
    }
    return false;
}
