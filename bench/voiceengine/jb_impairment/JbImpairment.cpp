// Sends a speech-like signal as 20 ms PCMU packets through the impairment
// relay on 127.0.0.1 into the jitter buffer, in real time, and measures
// what comes out:
//   late_loss_pct   packets that arrived after their playout time, of those sent
//   added_delay_ms  mean time a played packet waited in the buffer
//   segsnr_db       segmental SNR of the played audio against the sent one,
//                   aligned by the buffer's playout timestamp
// and, for comparison, the SNR with lost audio replaced by silence.
//
// Usage: jb_impairment [--seconds N] [profile...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSignals.h"
#include "voiceengine/FileConvert.h"
#include "voiceengine/ImpairmentRelay.h"
#include "voiceengine/JbFixed.h"

using namespace qf::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kFirstTs = 1000;

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

struct Played {
    uint32_t ts;
    std::vector<int16_t> pcm;
};

// Segmental SNR over 10 ms blocks; with only set, over the blocks marked
// there (the ones the buffer had to make up).
double segSnrOf(const std::vector<Played>& blocks, const std::vector<int16_t>& ref, const std::vector<bool>* only = nullptr) {
    double sum = 0;
    int frames = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        const auto& b = blocks[k];
        if (only && !(*only)[k]) continue;
        const int64_t at = static_cast<int64_t>(static_cast<uint32_t>(b.ts - kFirstTs));
        if (at < 0 || at + 80 > static_cast<int64_t>(ref.size()) || at > 0x7FFFFFFF) continue;
        const int16_t* r = ref.data() + at;
        if (Rms(r, 80) < 100.0) continue; // pauses do not count
        double es = 0, ee = 0;
        for (int i = 0; i < 80; ++i) {
            es += static_cast<double>(r[i]) * r[i];
            const double d = static_cast<double>(r[i]) - b.pcm[static_cast<size_t>(i)];
            ee += d * d;
        }
        sum += std::clamp(10 * std::log10((es + 1e-9) / (ee + 1e-9)), -10.0, 35.0);
        ++frames;
    }
    return frames ? sum / frames : 0.0;
}

int runProfile(const std::string& name, int seconds) {
    ImpairmentProfile profile;
    if (!ImpairmentProfile::ByName(name, profile)) {
        std::fprintf(stderr, "unknown profile %s\n", name.c_str());
        return -1;
    }
    // Receiver socket, relay in front of it, sender socket.
    const int rx = socket(AF_INET, SOCK_DGRAM, 0);
    const int tx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (rx < 0 || tx < 0 || bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("socket");
        return -1;
    }
    ImpairmentRelay relay;
    if (relay.Start(profile, ntohs(a.sin_port)) != 0) return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(relay.ListenPort());

    const auto speech = SpeechLike(8000, 8000 * seconds, 42);
    std::vector<int16_t> ref(speech.size());
    std::vector<uint8_t> coded(speech.size());
    for (size_t i = 0; i < speech.size(); ++i) {
        coded[i] = LinearToUlaw(speech[i]);
        ref[i] = FILEConvert::UlawToLinear(coded[i]);
    }

    JbFixed concealing(0), silent(1);
    for (JbFixed* jb : {&concealing, &silent}) jb->AddCodec(0, "PCMU", 8000);
    silent.SetConcealment(false);

    std::atomic<bool> done{false};
    const int packets = static_cast<int>(speech.size() / 160);
    const auto start = Clock::now();

    std::thread receiver([&] {
        std::vector<uint8_t> buf(2048);
        while (!done.load()) {
            pollfd pfd{rx, POLLIN, 0};
            if (poll(&pfd, 1, 5) <= 0) continue;
            const ssize_t n = recv(rx, buf.data(), buf.size(), 0);
            if (n <= 0) continue;
            const int64_t at = nowUs();
            concealing.InsertPacket(buf.data(), static_cast<int>(n), at);
            silent.InsertPacket(buf.data(), static_cast<int>(n), at);
        }
    });
    std::thread sender([&] {
        for (int k = 0; k < packets; ++k) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * k));
            const std::vector<uint8_t> payload(coded.begin() + k * 160, coded.begin() + (k + 1) * 160);
            const auto p = MakeRtp(0, static_cast<uint16_t>(k), kFirstTs + static_cast<uint32_t>(k * 160), 0xABCD, payload);
            sendto(tx, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    });
    std::vector<Played> outA, outB;
    const int blocks = seconds * 100 + 30;
    for (int b = 0; b < blocks; ++b) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * b + 5));
        Played pa, pb;
        pa.ts = concealing.PlayoutTimestamp();
        pb.ts = silent.PlayoutTimestamp();
        pa.pcm.resize(160);
        pb.pcm.resize(160);
        int n = 0;
        concealing.GetAudio10ms(pa.pcm.data(), n);
        silent.GetAudio10ms(pb.pcm.data(), n);
        outA.push_back(std::move(pa));
        outB.push_back(std::move(pb));
    }
    sender.join();
    done = true;
    receiver.join();
    relay.Stop();
    close(rx);
    close(tx);

    // Blocks that had to be made up: where the silent twin played nothing
    // while the original has speech.
    std::vector<bool> madeUp(outB.size());
    for (size_t k = 0; k < outB.size(); ++k) madeUp[k] = Rms(outB[k].pcm.data(), 80) == 0.0;
    const auto s = concealing.GetStats();
    const double lateLoss = 100.0 * s.late / packets;
    std::printf("profile=%s late_loss_pct=%.2f added_delay_ms=%.1f segsnr_db=%.2f silence_segsnr_db=%.2f "
                "lost_blocks_segsnr_db=%.2f lost_blocks_silence_segsnr_db=%.2f\n",
                name.c_str(), lateLoss, s.meanWaitMs, segSnrOf(outA, ref), segSnrOf(outB, ref),
                segSnrOf(outA, ref, &madeUp), segSnrOf(outB, ref, &madeUp));
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 8;
    std::vector<std::string> profiles;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::max(2, std::atoi(argv[++i]));
        else profiles.emplace_back(argv[i]);
    }
    if (profiles.empty()) profiles = {"clean", "jitter30", "loss5", "burst20", "reorder"};
    int rc = 0;
    for (const auto& p : profiles) rc |= runProfile(p, seconds) != 0;
    return rc;
}
