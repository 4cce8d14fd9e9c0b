// Two channel transports talking over real UDP on 127.0.0.1 through the
// socket thread: port set-up and its errors, delivery, source filters,
// SRTP, DSCP and RTCP round trips.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <thread>

#include "RtpTestSupport.h"
#include "voiceengine/rtp/SocketManager.h"
#include "voiceengine/rtp/VEChannelTransport.h"
#include "voiceengine/rtp/VESrtpSession.h"
#include "voiceengine/rtp/VEUdpSocket.h"

using namespace qf::test;

namespace {

// A free even port pair on loopback (bound and released again).
int FreePortPair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        close(s);
        int port = ntohs(a.sin_port) & ~1;
        if (port < 1024 || port > 65000) continue;
        int t = socket(AF_INET, SOCK_DGRAM, 0);
        a.sin_port = htons(static_cast<uint16_t>(port + 1));
        const bool ok = bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(t);
        if (ok) return port;
    }
    return 0;
}

struct Endpoint {
    explicit Endpoint(SocketManager& m, int channel) : transport(channel, m, receiver) {}
    RecordingReceiver receiver;
    VEChannelTransport transport;
    int port = 0;
};

class RtpUdpTest : public ::testing::Test {
protected:
    void SetUp() override {
        VESrtpSession::LibraryInit();
        manager.Start();
        a = std::make_unique<Endpoint>(manager, 0);
        b = std::make_unique<Endpoint>(manager, 1);
    }
    void TearDown() override {
        // The socket thread stops before the receivers go away.
        manager.Stop();
        a.reset();
        b.reset();
        VESrtpSession::LibraryShutdown();
    }
    void Connect(Endpoint& from, Endpoint& to) {
        ASSERT_EQ(0, from.transport.SetSendIP("127.0.0.1"));
        ASSERT_EQ(0, from.transport.SetSendPort(to.port, 0));
    }
    void Open(Endpoint& e) {
        e.port = FreePortPair();
        ASSERT_NE(0, e.port);
        ASSERT_EQ(0, e.transport.SetRecPort(e.port, nullptr, "127.0.0.1", 0));
        ASSERT_EQ(0, e.transport.StartListen());
    }
    void Pair() {
        Open(*a);
        Open(*b);
        Connect(*a, *b);
        Connect(*b, *a);
        a->transport.SetSendCodec("PCMU", 8000, 0);
        b->transport.SetSendCodec("PCMU", 8000, 0);
    }
    SocketManager manager;
    std::unique_ptr<Endpoint> a, b;
    uint8_t frame[160] = {0x11, 0x22, 0x33};
};

} // namespace

TEST_F(RtpUdpTest, ReceivePortRulesAndErrors) {
    VEChannelTransport& t = a->transport;
    EXPECT_EQ(VERtpCode::PortNotSet, t.StartListen());
    EXPECT_EQ(VERtpCode::PortOutOfRange, t.SetRecPort(1023, nullptr, nullptr, 0));
    EXPECT_EQ(VERtpCode::PortOutOfRange, t.SetRecPort(65536, nullptr, nullptr, 0));
    EXPECT_EQ(VERtpCode::PortOutOfRange, t.SetRecPort(5000, nullptr, nullptr, 80));
    const int port = FreePortPair();
    ASSERT_EQ(0, t.SetRecPort(port, nullptr, "127.0.0.1", 0));
    int rtp = 0, rtcp = 0;
    t.GetRecPort(rtp, rtcp);
    EXPECT_EQ(port, rtp);
    EXPECT_EQ(port + 1, rtcp);   // RTCP binds to the next port
    // Setting the same port again rebinds at once (the old socket is closed).
    ASSERT_EQ(0, t.SetRecPort(port, nullptr, "127.0.0.1", 0));
    // Another channel cannot take a port in use: RTP, then RTCP.
    EXPECT_EQ(VERtpCode::RtpSocket, b->transport.SetRecPort(port, nullptr, "127.0.0.1", port + 10));
    const int other = FreePortPair();
    EXPECT_EQ(VERtpCode::RtcpSocket, b->transport.SetRecPort(other, nullptr, "127.0.0.1", port + 1));
    ASSERT_EQ(0, t.StartListen());
    EXPECT_EQ(VERtpCode::Listening, t.StartListen());
    EXPECT_EQ(VERtpCode::Listening, t.SetRecPort(port, nullptr, nullptr, 0));
    EXPECT_EQ(0, t.StopListen());
    // GQoS cannot be had here: the sockets open plain, with the warning.
    ASSERT_EQ(0, t.SetSendGQOS(true, 2));
    ASSERT_EQ(0, t.SetRecPort(port, nullptr, "127.0.0.1", 0));
    EXPECT_EQ(VERtpCode::NoGQoS, t.TakeWarning());
    bool enabled = true;
    int service = 0;
    t.GetSendGQOS(enabled, service);
    EXPECT_FALSE(enabled);
}

TEST_F(RtpUdpTest, SendNeedsAddressAndPort) {
    VEChannelTransport& t = a->transport;
    EXPECT_EQ(VERtpCode::InvalidAddress, t.StartSend());
    EXPECT_EQ(VERtpCode::InvalidAddress, t.SetSendIP("127.0.0"));
    EXPECT_EQ(VERtpCode::InvalidAddress, t.SetSendIP("::1"));   // IPv6 text without IPv6
    EXPECT_EQ(VERtpCode::InvalidAddress, t.SetSendIP("1234567890123456789012345678901234567890"));
    ASSERT_EQ(0, t.SetSendIP("127.0.0.1"));
    EXPECT_EQ(VERtpCode::PortNotSet, t.StartSend());
    EXPECT_EQ(VERtpCode::PortOutOfRange, t.SetSendPort(80, 0));
    ASSERT_EQ(0, t.SetSendPort(40000, 0));
    // No receive socket to send from.
    EXPECT_EQ(VERtpCode::SendSocket, t.StartSend());
    EXPECT_FALSE(t.Sending());
}

TEST_F(RtpUdpTest, PacketsFlowBothWaysAndFiltersApply) {
    Pair();
    ASSERT_EQ(0, a->transport.StartSend());
    ASSERT_EQ(0, b->transport.StartSend());
    ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    ASSERT_EQ(0, b->transport.SendRtp(0, frame, 80, 80, false));
    ASSERT_TRUE(b->receiver.WaitRtp(1));
    ASSERT_TRUE(a->receiver.WaitRtp(1));
    EXPECT_EQ(172u, b->receiver.rtp[0].size());
    EXPECT_EQ(92u, a->receiver.rtp[0].size());
    EXPECT_EQ(1, b->receiver.lastChannel);
    EXPECT_EQ("127.0.0.1", b->transport.GetFromIP());
    EXPECT_EQ(a->port, b->transport.GetFromPort());   // RTP leaves from the receive port
    EXPECT_EQ(a->transport.GetSendSSRC(), b->transport.GetRemoteSSRC());

    // Through the channel's receive processing.
    CollectingSink sink;
    ASSERT_EQ(1, b->transport.ProcessRtp(b->receiver.rtp[0].data(), b->receiver.rtp[0].size(), sink));
    EXPECT_EQ(0x11, sink.items[0].data[0]);

    // A filter on another port or address keeps a's packets out.
    ASSERT_EQ(0, b->transport.SetFilterPort(a->port + 2));
    ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, b->receiver.RtpCount());
    ASSERT_EQ(0, b->transport.SetFilterPort(a->port));
    ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    ASSERT_TRUE(b->receiver.WaitRtp(2));
    EXPECT_EQ(VERtpCode::InvalidAddress, b->transport.SetFilterIP("not an address"));
    ASSERT_EQ(0, b->transport.SetFilterIP("127.0.0.2"));
    ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(2u, b->receiver.RtpCount());
    ASSERT_EQ(0, b->transport.SetFilterIP("127.0.0.1"));
    ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    ASSERT_TRUE(b->receiver.WaitRtp(3));

    // Not listening: nothing is read.
    ASSERT_EQ(0, b->transport.StopListen());
    ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(3u, b->receiver.RtpCount());
    a->transport.StopSend();
    b->transport.StopSend();
}

TEST_F(RtpUdpTest, SrtpBothWaysAndWrongKeyDropped) {
    Pair();
    uint8_t key[30];
    for (int i = 0; i < 30; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
    const VESrtpParams params = VESrtpParams::Make(1, 30, 3, 20, 10, 3, key, 30);
    ASSERT_EQ(0, a->transport.EnableSRTPSend(params));
    ASSERT_EQ(0, b->transport.EnableSRTPReceive(params));
    ASSERT_EQ(0, a->transport.StartSend());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    ASSERT_TRUE(b->receiver.WaitRtp(3));
    EXPECT_EQ(172u, b->receiver.rtp[0].size());   // tag removed
    EXPECT_EQ(0x11, b->receiver.rtp[0][12]);      // plain payload again

    // The receiver expecting SRTP drops plain or wrongly keyed packets.
    ASSERT_EQ(0, b->transport.StartSend());
    uint8_t other[30] = {};
    const VESrtpParams wrong = VESrtpParams::Make(1, 30, 3, 20, 10, 3, other, 30);
    ASSERT_EQ(0, a->transport.EnableSRTPReceive(wrong));
    ASSERT_EQ(0, b->transport.EnableSRTPSend(params));
    ASSERT_EQ(0, b->transport.SendRtp(0, frame, sizeof frame, 160, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, a->receiver.RtpCount());

    // Parameters outside the allowed sets are refused before anything is kept.
    struct Bad {
        int cipher, cipherKey, auth, authKey, tag, services, keyLength;
    };
    for (const Bad& bad : {Bad{2, 30, 3, 20, 10, 3, 30}, Bad{1, 30, 1, 20, 10, 3, 30}, Bad{1, 30, 3, 20, 10, 4, 30},
                           Bad{1, 30, 3, 20, 10, 3, 10}, Bad{1, 70, 3, 20, 10, 3, 30}}) {
        const VESrtpParams p = VESrtpParams::Make(bad.cipher, bad.cipherKey, bad.auth, bad.authKey, bad.tag,
                                                  bad.services, key, bad.keyLength);
        EXPECT_EQ(VERtpCode::SrtpSend, b->transport.EnableSRTPSend(p));
    }
    a->transport.StopSend();
    b->transport.StopSend();
}

TEST_F(RtpUdpTest, DscpAboveMarkingRangeWarnsButSends) {
    Pair();
    EXPECT_EQ(VERtpCode::QosFailed, a->transport.SetSendTOS(64));
    ASSERT_EQ(0, a->transport.SetSendTOS(50));
    EXPECT_EQ(VERtpCode::QosFailed, a->transport.StartSend());
    EXPECT_TRUE(a->transport.Sending());
    ASSERT_EQ(0, a->transport.SendRtp(0, frame, sizeof frame, 160, false));
    ASSERT_TRUE(b->receiver.WaitRtp(1));
    a->transport.StopSend();
    ASSERT_EQ(0, a->transport.SetSendTOS(46));
    EXPECT_EQ(0, a->transport.StartSend());
    a->transport.StopSend();
}

TEST_F(RtpUdpTest, RtcpReportReachesTheRtcpPort) {
    Pair();
    ASSERT_EQ(0, a->transport.EnableRTCP(true));
    ASSERT_EQ(0, a->transport.SetRTCPCNAME("alice@127.0.0.1"));
    ASSERT_EQ(0, a->transport.StartSend());
    // The first report is due about 2 s after enabling, sent with the RTP.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (std::chrono::steady_clock::now() < deadline && b->receiver.RtcpCount() == 0) {
        a->transport.SendRtp(0, frame, sizeof frame, 160, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(b->receiver.RtcpCount(), 1u);
    Bytes report;
    {
        std::lock_guard<std::mutex> lock(b->receiver.m);
        report = b->receiver.rtcp[0];
    }
    EXPECT_EQ(200, report[1]);
    EXPECT_EQ(0, b->transport.ProcessRtcp(report.data(), report.size()));
    EXPECT_EQ("alice@127.0.0.1", b->transport.GetRemoteRTCPCNAME());
    a->transport.StopSend();
}

TEST_F(RtpUdpTest, OversizedDatagramsAreDroppedWhole) {
    Pair();
    // A raw sender: one datagram of 1024 bytes (kept) and one of 1025 (dropped).
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(b->port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bytes big(1025, 0);
    big[0] = 0x80;
    sendto(s, big.data(), 1025, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    sendto(s, big.data(), 1024, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(s);
    ASSERT_TRUE(b->receiver.WaitRtp(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(1u, b->receiver.RtpCount());
    EXPECT_EQ(1024u, b->receiver.rtp[0].size());
}

TEST_F(RtpUdpTest, Ipv6ChannelsTalkOverLoopback) {
    for (Endpoint* e : {a.get(), b.get()}) {
        ASSERT_EQ(0, e->transport.EnableIPv6());
        e->port = FreePortPair();
        ASSERT_EQ(0, e->transport.SetRecPort(e->port, nullptr, "::1", 0));
        ASSERT_EQ(0, e->transport.StartListen());
    }
    // The family is fixed once sockets exist.
    EXPECT_EQ(8039, a->transport.EnableIPv6());
    EXPECT_EQ(VERtpCode::InvalidAddress, a->transport.SetSendIP("127.0.0.1"));
    ASSERT_EQ(0, a->transport.SetSendIP("::1"));
    ASSERT_EQ(0, a->transport.SetSendPort(b->port, 0));
    a->transport.SetSendCodec("PCMA", 8000, 8);
    ASSERT_EQ(0, a->transport.StartSend());
    ASSERT_EQ(0, a->transport.SendRtp(8, frame, sizeof frame, 160, false));
    ASSERT_TRUE(b->receiver.WaitRtp(1));
    EXPECT_EQ(8, b->receiver.rtp[0][1] & 0x7F);
    EXPECT_EQ("0:0:0:0:0:0:0:1", b->transport.GetFromIP());
    a->transport.StopSend();
}

TEST(SocketManagerTable, BoundedAndQueued) {
    SocketManager manager;
    std::vector<std::shared_ptr<VEUdpSocket>> sockets;
    for (size_t i = 0; i < SocketManager::kMaxSockets; ++i) {
        sockets.push_back(std::make_shared<VEUdpSocket>());
        ASSERT_EQ(0, manager.AddSocket(sockets.back()));
    }
    auto extra = std::make_shared<VEUdpSocket>();
    EXPECT_EQ(-1, manager.AddSocket(extra));
    // Adding the same socket twice takes one place; removal before the
    // thread ran drops it from the queue at once.
    EXPECT_EQ(0, manager.AddSocket(sockets[0]));
    manager.RemoveSocket(sockets[0]);
    EXPECT_EQ(SocketManager::kMaxSockets - 1, manager.SocketCount());
    EXPECT_EQ(0, manager.AddSocket(extra));
    // The thread takes the queue over and stops promptly.
    EXPECT_NE(-1, manager.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(SocketManager::kMaxSockets, manager.SocketCount());
    const auto t0 = std::chrono::steady_clock::now();
    manager.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_FALSE(manager.Running());
}
