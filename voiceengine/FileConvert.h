#pragma once
// Reads one audio file for playback and hands it out as 16 kHz mono
// blocks of 10 ms (160 samples).
//
// Formats: 0 raw 16-bit PCM at 16 kHz, 1 WAV (PCM 8/16 bit, A-law,
// mu-law; mono or stereo; 8..48 kHz), 2 iLBC file, 3 raw 16-bit PCM at
// 8 kHz. The file is read 80 samples at a time, decoded, mixed down to
// mono, resampled to 16 kHz and cut into 160-sample blocks. A start and a
// stop position (ms) limit the part that plays; with the loop flag the file
// starts again from its beginning when its data runs out.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "voiceengine/Resampler.h"

class FILEConvert {
public:
    enum Format { kFormatPcm16k = 0, kFormatWav = 1, kFormatIlbc = 2, kFormatPcm8k = 3 };
    enum { kReadSamples = 80, kOutSamples = 160, kOutRate = 16000 };
    // Engine trace levels used here.
    enum { kTraceWarning = 2, kTraceError = 4, kTraceStream = 64 };
    using TraceFn = std::function<void(int level, const std::string& text)>;

    FILEConvert() = default;
    ~FILEConvert();
    FILEConvert(const FILEConvert&) = delete;
    FILEConvert& operator=(const FILEConvert&) = delete;

    void SetTrace(TraceFn trace) { m_trace = std::move(trace); }

    // Takes ownership of stream (opened "rb") and reads its header.
    // 0 on success, -1 when the header is not acceptable (the stream is
    // closed then). scale multiplies every sample; startMs/stopMs limit the
    // played part (0/0 = whole file); the caller has checked the window.
    int Open(std::FILE* stream, int format, float scale, int startMs, int stopMs, bool loop);
    void Close();
    // Volume scale for the blocks still to come (0..1).
    void SetScale(float scale) { m_scale = scale; }
    bool IsOpen() const { return m_stream != nullptr; }

    // Next 10 ms at 16 kHz into out[160]. Returns 160, 0 when playback has
    // ended (the player closes itself), -1 on a read error.
    int Read10ms(int16_t* out);

    // Header facts (valid after Open).
    int Format() const { return m_format; }
    int FormatTag() const { return m_formatTag; }
    int Channels() const { return m_channels; }
    int BitsPerSample() const { return m_bits; }
    int SampleRate() const { return m_rate; }
    uint32_t DataSize() const { return m_dataSize; }
    int DurationMs() const;

    // ITU-T G.711 expansion.
    static int16_t AlawToLinear(uint8_t a);
    static int16_t UlawToLinear(uint8_t u);

private:
    int setFormat();        // walks the WAV chunks up to "data"; 0 or -1
    int readHeader();       // per format; positions the stream at the data
    int readFrames(int16_t* mono, int maxFrames); // decoded mono frames, 0 at end, -1 error
    int skipToStart();
    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    TraceFn m_trace;
    std::FILE* m_stream = nullptr;
    int m_format = kFormatWav;
    int m_formatTag = 1;
    int m_channels = 1;
    int m_bits = 16;
    int m_rate = 16000;
    uint32_t m_byteRate = 0;
    int m_blockAlign = 0;
    uint32_t m_dataSize = 0;   // bytes of sample data (UINT32_MAX: up to end of file)
    uint32_t m_dataRead = 0;   // bytes consumed from the data
    uint64_t m_framesRead = 0; // frames since the beginning of the data
    uint64_t m_stopFrame = 0;  // 0 = no stop position
    int m_startMs = 0;
    float m_scale = 1.0f;
    bool m_loop = false;
    bool m_ended = false;
    Resampler m_resampler;
    std::vector<int16_t> m_fifo; // 16 kHz samples not yet handed out
    std::vector<uint8_t> m_raw;
};
