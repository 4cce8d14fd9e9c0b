#pragma once
// Minimal 16-bit PCM WAV reading and writing for the file sound card and
// the engine's tools. Reading accepts 8- or 16-bit PCM, mono or stereo, at
// any rate, and hands back mono 16-bit samples with their rate.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace wavfile {

// Reads a whole PCM WAV file; stereo is averaged. false (with a reason)
// when the file is missing or not PCM WAV.
bool Read(const std::string& path, std::vector<int16_t>& samples, int& sampleRate, std::string* error = nullptr);

// Writes a mono 16-bit file in one go.
bool Write(const std::string& path, const std::vector<int16_t>& samples, int sampleRate);

// Resamples mono audio by linear interpolation (used to bring a
// microphone file to the device rate).
std::vector<int16_t> Resample(const std::vector<int16_t>& in, int fromRate, int toRate);

// A mono 16-bit WAV file written block by block; the header's sizes are
// patched on Close (and by the destructor).
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool Open(const std::string& path, int sampleRate);
    bool Append(const int16_t* samples, size_t count);
    // Rewrites the header with the current sizes without closing.
    void Flush();
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    uint64_t SamplesWritten() const { return m_samples; }

private:
    void WriteHeader();
    FILE* m_file = nullptr;
    int m_rate = 0;
    uint64_t m_samples = 0;
};

} // namespace wavfile
