#include "voiceengine/SimpleJitterBuffer.h"

#include "voiceengine/G711.h"

#include <cmath>

int VESimpleJitterBuffer::Insert(Codec codec, const uint8_t* payload, size_t length, uint32_t timestamp) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (codec == kComfortNoise) {
        // First byte: noise level in -dBov (RFC 3389).
        if (length >= 1) {
            const int dbov = payload[0] & 0x7f;
            m_noiseLevel = static_cast<int>(32767.0 * std::pow(10.0, -dbov / 20.0));
        }
        return 0;
    }
    if (length == 0 || length > 1500) {
        ++m_rejected;
        return -1;
    }
    if (m_started) {
        const int32_t delta = static_cast<int32_t>(timestamp - m_nextTimestamp);
        if (delta < 0) {
            ++m_rejected; // late or duplicate
            return -1;
        }
        if (delta > kMaxGap) {
            m_samples.clear();
            m_playing = false;
        } else {
            m_samples.insert(m_samples.end(), static_cast<size_t>(delta), 0);
        }
    }
    m_started = true;
    m_noiseLevel = 0;
    int16_t decoded[1500];
    if (codec == kUlaw)
        g711::DecodeUlaw(payload, length, decoded);
    else
        g711::DecodeAlaw(payload, length, decoded);
    m_samples.insert(m_samples.end(), decoded, decoded + length);
    m_nextTimestamp = timestamp + static_cast<uint32_t>(length);
    while (m_samples.size() > kMaxFill)
        m_samples.pop_front();
    return 0;
}

void VESimpleJitterBuffer::Get10ms(int16_t* out) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_playing && m_samples.size() >= kMinFill)
        m_playing = true;
    int i = 0;
    if (m_playing) {
        for (; i < kBlock && !m_samples.empty(); ++i) {
            out[i] = m_samples.front();
            m_samples.pop_front();
        }
        if (i < kBlock)
            m_playing = false; // ran dry: fill up again before playing
    }
    for (; i < kBlock; ++i) {
        if (m_noiseLevel > 0) {
            m_noise = m_noise * 1103515245u + 12345u;
            out[i] = static_cast<int16_t>(static_cast<int>((m_noise >> 16) % (2 * m_noiseLevel + 1)) - m_noiseLevel);
        } else {
            out[i] = 0;
        }
    }
}

void VESimpleJitterBuffer::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_samples.clear();
    m_started = false;
    m_playing = false;
    m_noiseLevel = 0;
}

size_t VESimpleJitterBuffer::Fill() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_samples.size();
}
