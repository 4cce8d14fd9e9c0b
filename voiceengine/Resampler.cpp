#include "voiceengine/Resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cstring>

#include "app/Trace.h"

Resampler::~Resampler() {
    if (m_state) speex_resampler_destroy(m_state);
}

int Resampler::Init(int inRate, int outRate, int quality) {
    QF_TRACE("Resampler::Init");
    if (inRate < 1000 || inRate > 192000 || outRate < 1000 || outRate > 192000) {
        QF_LOG_ERROR("unsupported rates %d -> %d", inRate, outRate);
        return -1;
    }
    if (m_state) {
        speex_resampler_destroy(m_state);
        m_state = nullptr;
    }
    int err = 0;
    m_state = speex_resampler_init(1, static_cast<spx_uint32_t>(inRate), static_cast<spx_uint32_t>(outRate),
                                   std::clamp(quality, 0, 10), &err);
    if (!m_state || err != RESAMPLER_ERR_SUCCESS) {
        QF_LOG_ERROR("speex_resampler_init failed (%d)", err);
        if (m_state) speex_resampler_destroy(m_state);
        m_state = nullptr;
        return -1;
    }
    m_inRate = inRate;
    m_outRate = outRate;
    m_pending.clear();
    QF_LEAVE();
    return 0;
}

void Resampler::Reset() {
    QF_TRACE("Resampler::Reset");
    if (m_state) speex_resampler_reset_mem(m_state);
    m_pending.clear();
    QF_LEAVE();
}

int Resampler::Process(const int16_t* in, int inCount, std::vector<int16_t>& out) {
    if (!m_state) return -1;
    if (inCount <= 0) return 0;
    // Room for the converted block plus a little for the filter's rounding.
    const size_t room = static_cast<size_t>(static_cast<int64_t>(inCount) * m_outRate / m_inRate) + 16;
    const size_t base = out.size();
    out.resize(base + room);
    spx_uint32_t inLen = static_cast<spx_uint32_t>(inCount);
    spx_uint32_t outLen = static_cast<spx_uint32_t>(room);
    speex_resampler_process_int(m_state, 0, in, &inLen, out.data() + base, &outLen);
    int produced = static_cast<int>(outLen);
    // The library takes all input when the output has room; if it did not,
    // feed the rest (can only happen on odd rate pairs).
    spx_uint32_t used = inLen;
    while (used < static_cast<spx_uint32_t>(inCount)) {
        const size_t at = base + produced;
        out.resize(at + room);
        spx_uint32_t more = static_cast<spx_uint32_t>(inCount) - used;
        spx_uint32_t cap = static_cast<spx_uint32_t>(room);
        speex_resampler_process_int(m_state, 0, in + used, &more, out.data() + at, &cap);
        if (more == 0 && cap == 0) break;
        used += more;
        produced += static_cast<int>(cap);
    }
    out.resize(base + produced);
    return produced;
}

int Resampler::ProcessBlock(const int16_t* in, int inCount, int16_t* out, int outCount) {
    if (!m_state) return -1;
    if (outCount <= 0) return 0;
    if (m_inRate == m_outRate && m_pending.empty() && inCount == outCount) {
        std::memcpy(out, in, sizeof(int16_t) * static_cast<size_t>(outCount));
        return outCount;
    }
    m_scratch.clear();
    Process(in, inCount, m_scratch);
    m_pending.insert(m_pending.end(), m_scratch.begin(), m_scratch.end());
    const int have = static_cast<int>(m_pending.size());
    if (have >= outCount) {
        std::memcpy(out, m_pending.data(), sizeof(int16_t) * static_cast<size_t>(outCount));
        m_pending.erase(m_pending.begin(), m_pending.begin() + outCount);
    } else {
        // Start-up: the filter has not filled yet. Lead with silence so the
        // stream keeps its timing.
        const int pad = outCount - have;
        std::fill(out, out + pad, int16_t{0});
        if (have > 0) std::memcpy(out + pad, m_pending.data(), sizeof(int16_t) * static_cast<size_t>(have));
        m_pending.clear();
    }
    // Never let rounding drift build an unbounded backlog.
    if (m_pending.size() > static_cast<size_t>(outCount) * 2) m_pending.erase(m_pending.begin(), m_pending.begin() + outCount);
    return outCount;
}
