#include "voiceengine/VERTPDatabase.h"

#include <cstring>

VERTPDatabase::VERTPDatabase(const VECodecTable& table) : m_table(table) {}

void VERTPDatabase::CreateChannel(int channel) {
    if (channel < 0 || channel >= kMaxChannels)
        return;
    static const int kOrder[VECodecTable::kCount] = {
        VECodecTable::kPCMU,  VECodecTable::kPCMA,   VECodecTable::kCN8,    VECodecTable::kCN16,
        VECodecTable::kG729,  VECodecTable::kWBPCM,  VECodecTable::kAWBLC,  VECodecTable::kXG711U,
        VECodecTable::kXG711A, VECodecTable::kILBC,  VECodecTable::kAWB,    VECodecTable::kTelephoneEvent,
        VECodecTable::kRed};
    std::lock_guard<std::mutex> guard(m_lock);
    Channel& c = m_channels[channel];
    c = Channel{};
    c.used = true;
    for (int& t : c.typeOfCodec)
        t = -1;
    for (int idx : kOrder) {
        const VECodecInfo& info = m_table.At(idx).info;
        Entry e;
        e.payloadType = info.payloadType;
        e.codecIndex = idx;
        memcpy(e.name, info.name, sizeof e.name);
        e.frequency = info.frequency;
        c.byType[e.payloadType] = e;
        c.typeOfCodec[idx] = e.payloadType;
        if (IsDynamic(e.payloadType))
            c.mask |= 1u << (e.payloadType - 96);
    }
}

void VERTPDatabase::DeleteChannel(int channel) {
    if (channel < 0 || channel >= kMaxChannels)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    Channel& c = m_channels[channel];
    for (auto& [pt, e] : c.byType)
        if (IsDynamic(pt))
            c.mask &= ~(1u << (pt - 96));
    c.byType.clear();
    for (int& t : c.typeOfCodec)
        t = -1;
    c.used = false;
}

int VERTPDatabase::Rebind(int channel, const char* name, int frequency, int payloadType) {
    if (channel < 0 || channel >= kMaxChannels || payloadType < 0 || payloadType > 127)
        return -1;
    std::lock_guard<std::mutex> guard(m_lock);
    Channel& c = m_channels[channel];
    if (!c.used)
        return -1;
    auto it = c.byType.begin();
    for (; it != c.byType.end(); ++it)
        if (VECodecTable::NameEquals(it->second.name, name) && it->second.frequency == frequency)
            break;
    if (it == c.byType.end())
        return -1;
    const int oldType = it->first;
    if (oldType == payloadType)
        return 0;
    Entry moved = it->second;
    c.byType.erase(it);

    auto other = c.byType.find(payloadType);
    if (other != c.byType.end()) {
        int bit = 0;
        while (bit < 32 && (c.mask & (1u << bit)))
            ++bit;
        if (bit == 32) {
            // Cannot happen with 13 codecs; put the entry back unchanged.
            c.byType[oldType] = moved;
            return -1;
        }
        Entry displaced = other->second;
        c.byType.erase(other);
        displaced.payloadType = 96 + bit;
        c.mask |= 1u << bit;
        c.typeOfCodec[displaced.codecIndex] = displaced.payloadType;
        c.byType[displaced.payloadType] = displaced;
    }
    if (IsDynamic(oldType))
        c.mask &= ~(1u << (oldType - 96));
    if (IsDynamic(payloadType))
        c.mask |= 1u << (payloadType - 96);
    moved.payloadType = payloadType;
    c.typeOfCodec[moved.codecIndex] = payloadType;
    c.byType[payloadType] = moved;
    return 0;
}

int VERTPDatabase::Lookup(int channel, int payloadType, Entry& entry) const {
    if (channel < 0 || channel >= kMaxChannels)
        return -1;
    std::lock_guard<std::mutex> guard(m_lock);
    const Channel& c = m_channels[channel];
    auto it = c.byType.find(payloadType);
    if (it == c.byType.end())
        return -1;
    entry = it->second;
    return 0;
}

int VERTPDatabase::PayloadTypeOf(int channel, int codecIndex) const {
    if (channel < 0 || channel >= kMaxChannels || codecIndex < 0 || codecIndex >= VECodecTable::kCount)
        return -1;
    std::lock_guard<std::mutex> guard(m_lock);
    return m_channels[channel].typeOfCodec[codecIndex];
}

uint32_t VERTPDatabase::DynamicMask(int channel) const {
    if (channel < 0 || channel >= kMaxChannels)
        return 0;
    std::lock_guard<std::mutex> guard(m_lock);
    return m_channels[channel].mask;
}
