#pragma once
// Sample-rate conversion for the audio paths, on SpeexDSP's resampler.
//
// The engine moves audio in 10 ms blocks and needs a fixed number of output
// samples per block (160 at 16 kHz, 480 at 48 kHz, ...). ProcessBlock()
// guarantees that: it keeps whatever the filter produced beyond the block
// for the next call and pads the very first blocks (filter latency) with
// silence, so callers never see a short block.
//
// Process() is the streaming form for inputs whose rate does not divide
// evenly (a 11025 Hz file read 80 samples at a time): it returns however
// many samples the filter produced.
#include <cstdint>
#include <vector>

struct SpeexResamplerState_;

class Resampler {
public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // 0 on success, -1 for rates outside 1000..192000 or a library failure.
    // quality 0..10 (SpeexDSP scale); 4 is plenty for voice.
    int Init(int inRate, int outRate, int quality = 4);
    bool IsInitialized() const { return m_state != nullptr; }
    int InRate() const { return m_inRate; }
    int OutRate() const { return m_outRate; }

    // Clears the filter memory (a new stream starts).
    void Reset();

    // Streaming: converts inCount samples, appends the produced samples to
    // out and returns their number, or -1 when not initialised.
    int Process(const int16_t* in, int inCount, std::vector<int16_t>& out);

    // Block form: converts inCount samples into exactly outCount samples.
    // Returns outCount, or -1 when not initialised. Equal rates copy.
    int ProcessBlock(const int16_t* in, int inCount, int16_t* out, int outCount);

private:
    SpeexResamplerState_* m_state = nullptr;
    int m_inRate = 0;
    int m_outRate = 0;
    std::vector<int16_t> m_pending; // produced but not yet handed out
    std::vector<int16_t> m_scratch;
};
