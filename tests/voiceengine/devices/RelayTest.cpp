// The impairment relay does what its profile says (and repeats for a seed),
// and the jitter buffer holds up over it in real time.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/TestSignals.h"
#include "voiceengine/ImpairmentRelay.h"
#include "voiceengine/JbFixed.h"

using namespace qf::test;
using Clock = std::chrono::steady_clock;

namespace {

struct Loopback {
    int rx = -1, tx = -1;
    uint16_t rxPort = 0;
    Loopback() {
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
        rxPort = ntohs(a.sin_port);
    }
    ~Loopback() {
        close(rx);
        close(tx);
    }
    void send(uint16_t port, const std::vector<uint8_t>& p) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        sendto(tx, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    // Sequence numbers of everything that arrives until the sender is done
    // and the line has been quiet for 300 ms (or 20 s have passed).
    std::vector<int> drain(const std::atomic<bool>& senderDone) const {
        std::vector<int> seqs;
        std::vector<uint8_t> buf(2048);
        const auto giveUp = Clock::now() + std::chrono::seconds(20);
        auto lastPacket = Clock::now();
        while (Clock::now() < giveUp) {
            if (senderDone.load() && Clock::now() - lastPacket > std::chrono::milliseconds(300)) break;
            pollfd pfd{rx, POLLIN, 0};
            if (poll(&pfd, 1, 5) <= 0) continue;
            const ssize_t n = recv(rx, buf.data(), buf.size(), 0);
            if (n >= 4) {
                seqs.push_back((buf[2] << 8) | buf[3]);
                lastPacket = Clock::now();
            }
        }
        return seqs;
    }
};

std::vector<int> throughRelay(const std::string& profileName, int packets) {
    ImpairmentProfile profile;
    EXPECT_TRUE(ImpairmentProfile::ByName(profileName, profile));
    Loopback net;
    ImpairmentRelay relay;
    EXPECT_EQ(relay.Start(profile, net.rxPort), 0);
    std::vector<int> got;
    // Drain while sending so no socket buffer overflows on the way.
    std::atomic<bool> sent{false};
    std::thread receiver([&] { got = net.drain(sent); });
    for (int k = 0; k < packets; ++k) {
        net.send(relay.ListenPort(), MakeRtp(0, static_cast<uint16_t>(k), 0, 1, std::vector<uint8_t>(20, 0)));
        if (k % 4 == 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sent = true;
    receiver.join();
    relay.Stop();
    const auto s = relay.GetStats();
    EXPECT_EQ(s.received, static_cast<uint64_t>(packets));
    EXPECT_EQ(s.forwarded, got.size());
    return got;
}

} // namespace

TEST(ImpairmentRelayTest, ProfilesLoseReorderAndDuplicateAsSaid) {
    const int n = 2000;
    auto clean = throughRelay("clean", n);
    EXPECT_EQ(static_cast<int>(clean.size()), n);

    auto loss = throughRelay("loss5", n);
    EXPECT_NEAR(static_cast<double>(n - static_cast<int>(loss.size())) / n, 0.05, 0.02);
    // The same seed loses the same packets.
    EXPECT_EQ(throughRelay("loss5", n), loss);

    auto burst = throughRelay("burst20", n);
    EXPECT_NEAR(static_cast<double>(n - static_cast<int>(burst.size())) / n, 0.20, 0.05);
    int runs = 0, lostTotal = 0;
    for (size_t i = 1; i < burst.size(); ++i) {
        const int gap = burst[i] - burst[i - 1] - 1;
        if (gap > 0) {
            ++runs;
            lostTotal += gap;
        }
    }
    ASSERT_GT(runs, 0);
    EXPECT_GT(static_cast<double>(lostTotal) / runs, 2.0); // bursts, not single losses

    auto reorder = throughRelay("reorder", n);
    int backwards = 0, dups = 0;
    std::vector<int> seen(n, 0);
    for (size_t i = 0; i < reorder.size(); ++i) {
        if (++seen[static_cast<size_t>(reorder[i])] == 2) ++dups;
        if (i > 0 && reorder[i] < reorder[i - 1]) ++backwards;
    }
    EXPECT_GT(backwards, n / 50);
    EXPECT_NEAR(static_cast<double>(dups) / n, 0.02, 0.015);
}

TEST(ImpairmentRelayTest, JitterBufferOverThirtyMillisecondsOfJitter) {
    // Two seconds of 20 ms packets, in real time, through jitter30.
    ImpairmentProfile profile;
    ASSERT_TRUE(ImpairmentProfile::ByName("jitter30", profile));
    Loopback net;
    ImpairmentRelay relay;
    ASSERT_EQ(relay.Start(profile, net.rxPort), 0);
    JbFixed jb;
    jb.AddCodec(0, "PCMU", 8000);
    const auto speech = SpeechLike(8000, 16000, 9);
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        std::vector<uint8_t> buf(2048);
        while (!done.load()) {
            pollfd pfd{net.rx, POLLIN, 0};
            if (poll(&pfd, 1, 5) <= 0) continue;
            const ssize_t n = recv(net.rx, buf.data(), buf.size(), 0);
            if (n > 0) jb.InsertPacket(buf.data(), static_cast<int>(n));
        }
    });
    const auto start = Clock::now();
    int16_t out[160];
    for (int b = 0, k = 0; b < 230; ++b) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * b));
        if (b % 2 == 0 && k < 100) {
            std::vector<uint8_t> payload(160);
            for (int i = 0; i < 160; ++i) payload[static_cast<size_t>(i)] = LinearToUlaw(speech[static_cast<size_t>(k * 160 + i)]);
            net.send(relay.ListenPort(), MakeRtp(0, static_cast<uint16_t>(k), static_cast<uint32_t>(k * 160), 5, payload));
            ++k;
        }
        int n = 0;
        jb.GetAudio10ms(out, n);
    }
    done = true;
    receiver.join();
    relay.Stop();
    const auto s = jb.GetStats();
    // At most a few stragglers (a loaded machine delays the receiving
    // thread too).
    EXPECT_LE(s.late, 5u);
    EXPECT_LE(s.meanWaitMs, 60.0);
    EXPECT_GE(s.played, 90u);
}
