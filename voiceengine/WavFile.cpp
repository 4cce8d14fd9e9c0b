#include "voiceengine/WavFile.h"

#include <cstring>

namespace wavfile {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Put32(uint8_t* p, uint32_t v) {
    p[0] = v & 0xff;
    p[1] = (v >> 8) & 0xff;
    p[2] = (v >> 16) & 0xff;
    p[3] = (v >> 24) & 0xff;
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = v & 0xff;
    p[1] = (v >> 8) & 0xff;
}

void Header(uint8_t* h, int rate, uint32_t dataBytes) {
    memcpy(h, "RIFF", 4);
    Put32(h + 4, 36 + dataBytes);
    memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);
    Put16(h + 22, 1);
    Put32(h + 24, static_cast<uint32_t>(rate));
    Put32(h + 28, static_cast<uint32_t>(rate) * 2);
    Put16(h + 32, 2);
    Put16(h + 34, 16);
    memcpy(h + 36, "data", 4);
    Put32(h + 40, dataBytes);
}

bool Fail(std::string* error, const char* text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

bool Read(const std::string& path, std::vector<int16_t>& samples, int& sampleRate, std::string* error) {
    samples.clear();
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return Fail(error, "cannot open file");
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 || memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return Fail(error, "not a RIFF WAVE file");
    size_t pos = 12;
    int channels = 0, bits = 0, format = 0;
    sampleRate = 0;
    while (pos + 8 <= bytes.size()) {
        const uint8_t* chunk = bytes.data() + pos;
        uint32_t size = Le32(chunk + 4);
        size_t body = pos + 8;
        size_t avail = bytes.size() - body;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || avail < 16)
                return Fail(error, "short fmt chunk");
            format = Le16(chunk + 8);
            channels = Le16(chunk + 10);
            sampleRate = static_cast<int>(Le32(chunk + 12));
            bits = Le16(chunk + 22);
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (format != 1 || (channels != 1 && channels != 2) || (bits != 8 && bits != 16) || sampleRate <= 0)
                return Fail(error, "unsupported format (PCM, 1 or 2 channels, 8 or 16 bits)");
            size_t len = size < avail ? size : avail;
            const size_t frameBytes = static_cast<size_t>(channels * bits / 8);
            const size_t frames = len / frameBytes;
            samples.reserve(frames);
            const uint8_t* p = chunk + 8;
            for (size_t i = 0; i < frames; ++i, p += frameBytes) {
                int sum = 0;
                for (int c = 0; c < channels; ++c) {
                    if (bits == 16)
                        sum += static_cast<int16_t>(Le16(p + 2 * c));
                    else
                        sum += (p[c] - 128) * 256;
                }
                samples.push_back(static_cast<int16_t>(sum / channels));
            }
            return true;
        }
        pos = body + size + (size & 1);
    }
    return Fail(error, "no data chunk");
}

bool Write(const std::string& path, const std::vector<int16_t>& samples, int sampleRate) {
    Writer w;
    if (!w.Open(path, sampleRate))
        return false;
    bool ok = w.Append(samples.data(), samples.size());
    w.Close();
    return ok;
}

std::vector<int16_t> Resample(const std::vector<int16_t>& in, int fromRate, int toRate) {
    if (fromRate == toRate || in.empty() || fromRate <= 0 || toRate <= 0)
        return in;
    const size_t outCount = static_cast<size_t>(static_cast<uint64_t>(in.size()) * toRate / fromRate);
    std::vector<int16_t> out(outCount);
    for (size_t i = 0; i < outCount; ++i) {
        const double t = static_cast<double>(i) * fromRate / toRate;
        const size_t k = static_cast<size_t>(t);
        const double frac = t - static_cast<double>(k);
        const int a = in[k];
        const int b = k + 1 < in.size() ? in[k + 1] : a;
        out[i] = static_cast<int16_t>(a + (b - a) * frac);
    }
    return out;
}

Writer::~Writer() { Close(); }

bool Writer::Open(const std::string& path, int sampleRate) {
    Close();
    m_file = fopen(path.c_str(), "wb+");
    if (!m_file)
        return false;
    m_rate = sampleRate;
    m_samples = 0;
    WriteHeader();
    return true;
}

void Writer::WriteHeader() {
    uint8_t h[44];
    const uint64_t bytes = m_samples * 2;
    Header(h, m_rate, static_cast<uint32_t>(bytes > 0xffffffd0ULL ? 0xffffffd0ULL : bytes));
    fseek(m_file, 0, SEEK_SET);
    fwrite(h, 1, sizeof h, m_file);
    fseek(m_file, 0, SEEK_END);
}

bool Writer::Append(const int16_t* samples, size_t count) {
    if (!m_file)
        return false;
    uint8_t buf[2 * 960];
    while (count > 0) {
        size_t n = count < 960 ? count : 960;
        for (size_t i = 0; i < n; ++i)
            Put16(buf + 2 * i, static_cast<uint16_t>(samples[i]));
        if (fwrite(buf, 2, n, m_file) != n)
            return false;
        m_samples += n;
        samples += n;
        count -= n;
    }
    return true;
}

void Writer::Flush() {
    if (!m_file)
        return;
    WriteHeader();
    fflush(m_file);
}

void Writer::Close() {
    if (!m_file)
        return;
    WriteHeader();
    fclose(m_file);
    m_file = nullptr;
}

} // namespace wavfile
