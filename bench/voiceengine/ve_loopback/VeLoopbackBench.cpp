// One call between two engines on loopback; prints the mouth-to-ear delay
// and the CPU cost per second of call. See README.md.
#include "platform/KeyValueStore.h"
#include "voiceengine/FileSndCardStream.h"
#include "voiceengine/VEAPI.h"
#include "voiceengine/WavFile.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kBurstEveryMs = 500;
constexpr int kBurstMs = 5;
constexpr int kBurstAmplitude = 16000;

struct Options {
    int seconds = 10;
    std::string codec = "PCMU";
    int packet = 160;
    bool paced = false;
    bool plain = false;
    std::string keep;
};

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Tone bursts (1 kHz, sharp onset) every kBurstEveryMs, starting at 1 s.
std::vector<int16_t> BurstTrack(int seconds, std::vector<size_t>& onsets) {
    std::vector<int16_t> s(static_cast<size_t>(seconds) * kRate, 0);
    for (size_t at = kRate; at + kRate / 10 < s.size(); at += kRate * kBurstEveryMs / 1000) {
        onsets.push_back(at);
        for (int i = 0; i < kRate * kBurstMs / 1000; ++i)
            s[at + i] = static_cast<int16_t>(kBurstAmplitude * std::sin(2 * M_PI * 1000.0 * i / kRate));
    }
    return s;
}

struct End {
    VEAPI engine;
    VEFileSndCardStream* card = nullptr;
};

void Prepare(End& end, const std::string& mic, const std::string& speaker, bool paced) {
    end.engine.SetSoundCardFactory([&end, mic, speaker, paced](VESndCardCallback* cb) {
        VEFileSndCardStream::Config c;
        c.micFile = mic;
        c.speakerFile = speaker;
        c.paced = paced;
        auto card = std::make_unique<VEFileSndCardStream>(cb, c);
        end.card = card.get();
        return std::unique_ptr<VESndCardStream>(std::move(card));
    });
}

bool Check(int result, VEAPI& ve, const char* what) {
    if (result >= 0)
        return true;
    fprintf(stderr, "%s failed (%d)\n", what, ve.VE_GetLastError());
    return false;
}

// The phone's own set-up of the engine and of a call.
bool InitLikeThePhone(VEAPI& ve, bool plain) {
    return Check(ve.VE_Init(0, 0, 0, 0, 0, 1), ve, "VE_Init") && Check(ve.VE_CreateChannel(), ve, "VE_CreateChannel") &&
           Check(ve.VE_SetNetworkStatus(0), ve, "VE_SetNetworkStatus") && Check(ve.VE_EnableRTCP(0, 1), ve, "VE_EnableRTCP") &&
           Check(ve.VE_SetECStatus(plain ? 0 : 1), ve, "VE_SetECStatus") &&
           Check(ve.VE_SetAGCStatus(plain ? 0 : 1), ve, "VE_SetAGCStatus") &&
           Check(ve.VE_SetNRStatus(plain ? 0 : 1), ve, "VE_SetNRStatus");
}

bool StartCall(VEAPI& ve, int local, int remote, const Options& o) {
    VECodecInfo codec{};
    strncpy(codec.name, o.codec.c_str(), sizeof codec.name - 1);
    codec.payloadType = o.codec == "PCMA" ? 8 : 0;
    codec.frequency = 8000;
    codec.packetSize = o.packet;
    codec.channels = 1;
    codec.rate = 64000;
    return Check(ve.VE_SetRecPort(0, local), ve, "VE_SetRecPort") && Check(ve.VE_StartListen(0), ve, "VE_StartListen") &&
           Check(ve.VE_StartPlayout(0), ve, "VE_StartPlayout") && Check(ve.VE_SetSendCodec(0, &codec), ve, "VE_SetSendCodec") &&
           Check(ve.VE_SetSendPort(0, remote), ve, "VE_SetSendPort") && Check(ve.VE_SetSendIP(0, "127.0.0.1"), ve, "VE_SetSendIP") &&
           Check(ve.VE_StartSend(0), ve, "VE_StartSend");
}

void StopCall(VEAPI& ve) {
    ve.VE_StopSend(0);
    ve.VE_StopListen(0);
    ve.VE_StopPlayout(0);
}

// Waits (briefly) until what `from` sent has reached `to`.
void WaitDelivered(VEAPI& from, VEAPI& to) {
    for (int i = 0; i < 20000; ++i) { // at most a second, also under valgrind
        unsigned sent = 0, octets = 0, unused = 0, received = 0;
        from.VE_RTPStat(0, sent, octets, unused);
        to.VE_RTPStat(0, unused, octets, received);
        if (received >= sent)
            return;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            o.seconds = std::max(3, atoi(argv[++i]));
        else if (a == "--codec" && i + 1 < argc)
            o.codec = argv[++i];
        else if (a == "--packet" && i + 1 < argc)
            o.packet = atoi(argv[++i]);
        else if (a == "--paced")
            o.paced = true;
        else if (a == "--plain")
            o.plain = true;
        else if (a == "--keep" && i + 1 < argc)
            o.keep = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--seconds N] [--codec PCMU|PCMA] [--packet N] [--paced] [--plain] [--keep DIR]\n",
                    argv[0]);
            return 2;
        }
    }

    namespace fs = std::filesystem;
    const fs::path dir = o.keep.empty() ? fs::temp_directory_path() / ("ve_loopback." + std::to_string(getpid()))
                                        : fs::path(o.keep);
    fs::create_directories(dir);
    qf::platform::CKeyValueStore::LocalMachine().SetPath((dir / "machine.store").string());

    std::vector<size_t> onsets;
    wavfile::Write((dir / "mic_a.wav").string(), BurstTrack(o.seconds + 1, onsets), kRate);
    wavfile::Write((dir / "mic_b.wav").string(), std::vector<int16_t>(static_cast<size_t>(kRate), 0), kRate);

    int rc = 0;
    double cpu = 0;
    double clockOffsetMs = 0; // B's block clock behind A's (paced runs)
    {
        End a, b;
        Prepare(a, (dir / "mic_a.wav").string(), (dir / "speaker_a.wav").string(), o.paced);
        Prepare(b, (dir / "mic_b.wav").string(), (dir / "speaker_b.wav").string(), o.paced);
        if (!InitLikeThePhone(a.engine, o.plain) || !InitLikeThePhone(b.engine, o.plain))
            return 1;
        if (!StartCall(a.engine, 43000, 43010, o) || !StartCall(b.engine, 43010, 43000, o))
            return 1;
        const double cpu0 = CpuSeconds();
        const int blocks = o.seconds * 100;
        if (o.paced) {
            std::this_thread::sleep_for(std::chrono::milliseconds(blocks * 10));
        } else {
            for (int k = 0; k < blocks; ++k) {
                a.card->Step();
                b.card->Step();
                WaitDelivered(a.engine, b.engine);
                WaitDelivered(b.engine, a.engine);
            }
        }
        cpu = CpuSeconds() - cpu0;
        if (o.paced)
            clockOffsetMs = (b.card->StartedAtUs() - a.card->StartedAtUs()) / 1000.0;
        StopCall(a.engine);
        StopCall(b.engine);
        a.engine.VE_Terminate();
        b.engine.VE_Terminate();
    }

    std::vector<int16_t> heard;
    int rate = 0;
    if (!wavfile::Read((dir / "speaker_b.wav").string(), heard, rate)) {
        fprintf(stderr, "no speaker file\n");
        return 1;
    }
    // Each burst's onset in B's speaker: the first sample above a quarter of
    // the burst's peak after the burst left A's microphone.
    std::vector<double> delays;
    for (size_t onset : onsets) {
        const size_t end = std::min(heard.size(), onset + static_cast<size_t>(kRate) * 300 / 1000);
        if (onset >= heard.size())
            break;
        int peak = 0;
        for (size_t i = onset; i < end; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(heard[i])));
        if (peak < 1000)
            continue;
        for (size_t i = onset; i < end; ++i)
            if (std::abs(static_cast<int>(heard[i])) > peak / 4) {
                delays.push_back(1000.0 * static_cast<double>(i - onset) / kRate + clockOffsetMs);
                break;
            }
    }
    if (delays.empty()) {
        fprintf(stderr, "no burst arrived\n");
        rc = 1;
    } else {
        double sum = 0;
        for (double d : delays)
            sum += d;
        std::sort(delays.begin(), delays.end());
        printf("bursts=%zu\n", delays.size());
        printf("mouth_to_ear_min_ms=%.1f\n", delays.front());
        printf("mouth_to_ear_max_ms=%.1f\n", delays.back());
        printf("mouth_to_ear_ms=%.1f\n", sum / static_cast<double>(delays.size()));
    }
    // Both ends run in this process; one phone carries one end.
    printf("cpu_ms_per_call_second_both_ends=%.2f\n", 1000.0 * cpu / o.seconds);
    printf("cpu_ms_per_call_second=%.2f\n", 1000.0 * cpu / o.seconds / 2.0);
    if (o.keep.empty())
        fs::remove_all(dir);
    return rc;
}
