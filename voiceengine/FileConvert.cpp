#include "voiceengine/FileConvert.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "app/Trace.h"

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

int16_t saturate(int32_t v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

// Rates are accepted by their kHz part, as the resampler modes go.
bool rateAccepted(int rate) {
    switch (rate / 1000) {
    case 8: case 11: case 12: case 16: case 22: case 24: case 32: case 44: case 48:
        return true;
    default:
        return false;
    }
}

} // namespace

FILEConvert::~FILEConvert() { Close(); }

void FILEConvert::trace(int level, const char* fmt, ...) {
    if (!m_trace) return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    m_trace(level, buf);
}

int16_t FILEConvert::AlawToLinear(uint8_t a) {
    a ^= 0x55;
    const int exponent = (a >> 4) & 0x07;
    const int mantissa = a & 0x0F;
    int magnitude = exponent == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (exponent - 1);
    return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

int16_t FILEConvert::UlawToLinear(uint8_t u) {
    u = static_cast<uint8_t>(~u);
    const int exponent = (u >> 4) & 0x07;
    const int mantissa = u & 0x0F;
    const int magnitude = (((mantissa << 3) + 0x84) << exponent) - 0x84;
    return static_cast<int16_t>((u & 0x80) ? -magnitude : magnitude);
}

int FILEConvert::DurationMs() const {
    if (m_dataSize == UINT32_MAX) return INT32_MAX;
    const int frameBytes = std::max(1, m_channels * m_bits / 8);
    return static_cast<int>(static_cast<uint64_t>(m_dataSize / frameBytes) * 1000 / static_cast<uint64_t>(m_rate));
}

void FILEConvert::Close() {
    QF_TRACE("FILEConvert::Close");
    if (m_stream) {
        std::fclose(m_stream);
        m_stream = nullptr;
    }
    m_fifo.clear();
    QF_LEAVE();
}

int FILEConvert::Open(std::FILE* stream, int format, float scale, int startMs, int stopMs, bool loop) {
    QF_TRACE("FILEConvert::Open");
    Close();
    if (!stream) {
        QF_LOG_ERROR("no stream");
        return -1;
    }
    m_stream = stream;
    m_format = format;
    m_scale = scale;
    m_loop = loop;
    m_ended = false;
    m_startMs = std::max(0, startMs);
    m_fifo.clear();
    if (readHeader() != 0) {
        Close();
        return -1;
    }
    m_stopFrame = stopMs > 0 ? static_cast<uint64_t>(stopMs) * static_cast<uint64_t>(m_rate) / 1000 : 0;
    if (m_rate != kOutRate) {
        if (m_resampler.Init(m_rate, kOutRate, 3) != 0) {
            trace(kTraceError, "setFormat: VE_ResamplerTo16_init(?,mode) failed mode=%d", m_rate / 1000);
            Close();
            return -1;
        }
    }
    if (skipToStart() != 0) {
        Close();
        return -1;
    }
    QF_LEAVE();
    return 0;
}

int FILEConvert::readHeader() {
    m_dataRead = 0;
    m_framesRead = 0;
    switch (m_format) {
    case kFormatPcm16k:
    case kFormatPcm8k: {
        m_formatTag = 1;
        m_channels = 1;
        m_bits = 16;
        m_rate = m_format == kFormatPcm16k ? 16000 : 8000;
        m_byteRate = static_cast<uint32_t>(m_rate * 2);
        m_blockAlign = 2;
        std::fseek(m_stream, 0, SEEK_END);
        const long size = std::ftell(m_stream);
        std::fseek(m_stream, 0, SEEK_SET);
        m_dataSize = size > 0 ? static_cast<uint32_t>(std::min<long>(size, UINT32_MAX - 1)) : 0;
        return 0;
    }
    case kFormatWav:
        return setFormat();
    case kFormatIlbc: {
        // The header line is checked so a wrong file is named as such, but
        // no iLBC decoder is built into this engine.
        char line[64] = {};
        if (!std::fgets(line, sizeof line, m_stream) ||
            (std::strcmp(line, "#!iLBC20\n") != 0 && std::strcmp(line, "#!iLBC30\n") != 0)) {
            trace(kTraceError, "FILEConvert: not an iLBC file");
            return -1;
        }
        trace(kTraceError, "FILEConvert: iLBC files cannot be decoded");
        return -1;
    }
    default:
        trace(kTraceError, "FILEConvert: unknown file format %d", m_format);
        return -1;
    }
}

int FILEConvert::setFormat() {
    QF_TRACE("FILEConvert::setFormat");
    uint8_t riff[12];
    std::fseek(m_stream, 0, SEEK_SET);
    if (std::fread(riff, 1, sizeof riff, m_stream) != sizeof riff) {
        trace(kTraceError, "Not a wave file (too short)");
        return -1;
    }
    if (std::memcmp(riff, "RIFF", 4) != 0) {
        trace(kTraceError, "Not a wave file (does not have RIFF)");
        return -1;
    }
    if (std::memcmp(riff + 8, "WAVE", 4) != 0) {
        trace(kTraceError, "Not a wave file (does not have WAVE)");
        return -1;
    }
    bool haveFmt = false;
    for (;;) {
        uint8_t hdr[8];
        if (std::fread(hdr, 1, sizeof hdr, m_stream) != sizeof hdr) {
            trace(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading other)");
            return -1;
        }
        const uint32_t size = le32(hdr + 4);
        if (std::memcmp(hdr, "fmt ", 4) == 0) {
            uint8_t fmt[16];
            if (size < sizeof fmt || std::fread(fmt, 1, sizeof fmt, m_stream) != sizeof fmt) {
                trace(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading fmt )");
                return -1;
            }
            m_formatTag = le16(fmt);
            m_channels = le16(fmt + 2);
            m_rate = static_cast<int>(le32(fmt + 4));
            m_byteRate = le32(fmt + 8);
            m_blockAlign = le16(fmt + 12);
            m_bits = le16(fmt + 14);
            // Chunks are padded to an even length.
            const long rest = static_cast<long>(size - sizeof fmt) + static_cast<long>(size & 1);
            if (rest > 0 && std::fseek(m_stream, rest, SEEK_CUR) != 0) {
                trace(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading fmt )");
                return -1;
            }
            haveFmt = true;
        } else if (std::memcmp(hdr, "data", 4) == 0) {
            m_dataSize = size;
            break;
        } else {
            const long skip = static_cast<long>(size) + static_cast<long>(size & 1);
            if (std::fseek(m_stream, skip, SEEK_CUR) != 0) {
                trace(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading other)");
                return -1;
            }
        }
    }
    if (!haveFmt) {
        trace(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading fmt )");
        return -1;
    }
    if (m_formatTag != 1 && m_formatTag != 6 && m_formatTag != 7) {
        trace(kTraceError, "setFormat: Coding format not supported %d", m_formatTag);
        return -1;
    }
    if (m_channels != 1 && m_channels != 2) {
        trace(kTraceError, "setFormat: nChannels value invalid %d", m_channels);
        return -1;
    }
    // Companded samples are one byte each; a 16-bit A-law file does not exist.
    if ((m_bits != 8 && m_bits != 16) || (m_formatTag != 1 && m_bits != 8)) {
        trace(kTraceError, "setFormat: nBitsPerSample value invalid %d", m_bits);
        return -1;
    }
    if (!rateAccepted(m_rate)) {
        trace(kTraceError, "setFormat: VE_ResamplerTo16_init(?,mode) failed mode=%d", m_rate / 1000);
        return -1;
    }
    QF_LEAVE();
    return 0;
}

int FILEConvert::skipToStart() {
    if (m_startMs <= 0) return 0;
    // Reached by reading 10 ms steps, so every format (and a data size
    // that runs to the end of the file) is handled alike.
    const uint64_t target = static_cast<uint64_t>(m_startMs) * static_cast<uint64_t>(m_rate) / 1000;
    const int step = std::max(1, m_rate / 100);
    std::vector<int16_t> scratch(static_cast<size_t>(step));
    while (m_framesRead < target) {
        const int want = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(step), target - m_framesRead));
        const int got = readFrames(scratch.data(), want);
        if (got <= 0) return got < 0 ? -1 : 0;
    }
    return 0;
}

int FILEConvert::readFrames(int16_t* mono, int maxFrames) {
    const int bytesPerSample = m_bits / 8;
    const int frameBytes = bytesPerSample * m_channels;
    uint64_t frames = static_cast<uint64_t>(maxFrames);
    if (m_dataSize != UINT32_MAX) frames = std::min<uint64_t>(frames, (m_dataSize - m_dataRead) / frameBytes);
    if (m_stopFrame > 0) frames = std::min<uint64_t>(frames, m_stopFrame > m_framesRead ? m_stopFrame - m_framesRead : 0);
    if (frames == 0) return 0;
    m_raw.resize(static_cast<size_t>(frames) * frameBytes);
    const size_t got = std::fread(m_raw.data(), 1, m_raw.size(), m_stream);
    if (got < m_raw.size() && std::ferror(m_stream)) return -1;
    const int n = static_cast<int>(got / frameBytes);
    m_dataRead += static_cast<uint32_t>(n * frameBytes);
    m_framesRead += static_cast<uint64_t>(n);
    for (int i = 0; i < n; ++i) {
        int32_t s[2] = {0, 0};
        for (int c = 0; c < m_channels; ++c) {
            const uint8_t* p = m_raw.data() + static_cast<size_t>(i) * frameBytes + static_cast<size_t>(c) * bytesPerSample;
            if (m_formatTag == 6) {
                s[c] = AlawToLinear(*p);
            } else if (m_formatTag == 7) {
                s[c] = UlawToLinear(*p);
            } else if (m_bits == 8) {
                s[c] = static_cast<int32_t>(*p) * 255 - 32640;
            } else {
                s[c] = static_cast<int16_t>(le16(p));
            }
        }
        mono[i] = m_channels == 2 ? saturate((s[0] + s[1] + 1) / 2) : static_cast<int16_t>(s[0]);
    }
    if (n == 0 && got < m_raw.size()) {
        // Fewer bytes than the header promised: the data ends here.
        m_dataSize = m_dataRead;
    }
    return n;
}

int FILEConvert::Read10ms(int16_t* out) {
    if (!m_stream && m_fifo.empty()) return 0;
    int16_t block[kReadSamples];
    bool rewound = false;
    while (m_fifo.size() < kOutSamples && !m_ended) {
        const int n = readFrames(block, kReadSamples);
        if (n < 0) {
            trace(kTraceError, "FILEConvert: read error");
            Close();
            return -1;
        }
        if (n == 0) {
            const bool stopReached = m_stopFrame > 0 && m_framesRead >= m_stopFrame;
            if (m_loop && !stopReached && !rewound && m_framesRead > 0) {
                // Start over: the header is read again, as a fresh open would.
                std::fseek(m_stream, 0, SEEK_SET);
                if (readHeader() != 0) {
                    Close();
                    return -1;
                }
                rewound = true;
                continue;
            }
            m_ended = true;
            break;
        }
        rewound = false;
        if (m_rate == kOutRate) {
            m_fifo.insert(m_fifo.end(), block, block + n);
        } else {
            m_resampler.Process(block, n, m_fifo);
        }
    }
    if (m_fifo.empty()) {
        Close();
        return 0;
    }
    const size_t take = std::min<size_t>(m_fifo.size(), kOutSamples);
    std::copy_n(m_fifo.begin(), take, out);
    // The last block is completed with silence.
    std::fill(out + take, out + kOutSamples, int16_t{0});
    m_fifo.erase(m_fifo.begin(), m_fifo.begin() + static_cast<long>(take));
    if (m_scale != 1.0f) {
        for (int i = 0; i < kOutSamples; ++i) out[i] = saturate(static_cast<int32_t>(out[i] * m_scale));
    }
    if (m_ended && m_fifo.empty() && m_stream) {
        std::fclose(m_stream);
        m_stream = nullptr;
    }
    return kOutSamples;
}
