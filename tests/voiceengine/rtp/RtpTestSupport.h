#pragma once
// Small fixtures shared by the transport tests: a hand-driven clock, an
// external transport that keeps every packet, a receiver that plays the
// engine's part, and a payload sink that plays the channel's.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "voiceengine/rtp/VERtpClock.h"
#include "voiceengine/rtp/VERtpInterfaces.h"

namespace qf::test {

using Bytes = std::vector<uint8_t>;

class FakeClock : public VERtpClock {
public:
    int64_t NowMs() const override { return ms; }
    VENtpTime NowNtp() const override {
        VENtpTime t;
        const int64_t total = ntpBaseMs + ms;
        t.seconds = static_cast<uint32_t>(total / 1000);
        t.fraction = static_cast<uint32_t>(((total % 1000) << 32) / 1000);
        return t;
    }
    void Advance(int64_t delta) { ms += delta; }
    int64_t ms = 1000000;
    int64_t ntpBaseMs = int64_t{3900000000} * 1000;
};

class CaptureTransport : public VETransport {
public:
    int SendPacket(int, const void* data, int length) override {
        std::lock_guard<std::mutex> lock(m);
        const auto* b = static_cast<const uint8_t*>(data);
        rtp.emplace_back(b, b + length);
        return length;
    }
    int SendRTCPPacket(int, const void* data, int length) override {
        std::lock_guard<std::mutex> lock(m);
        const auto* b = static_cast<const uint8_t*>(data);
        rtcp.emplace_back(b, b + length);
        return length;
    }
    std::mutex m;
    std::vector<Bytes> rtp;
    std::vector<Bytes> rtcp;
};

// Records what reaches the engine's receive entry.
class RecordingReceiver : public VERtpReceiver {
public:
    void ReceivedRtp(int channel, const uint8_t* data, size_t length) override {
        std::lock_guard<std::mutex> lock(m);
        rtp.emplace_back(data, data + length);
        lastChannel = channel;
        cv.notify_all();
    }
    void ReceivedRtcp(int channel, const uint8_t* data, size_t length) override {
        std::lock_guard<std::mutex> lock(m);
        rtcp.emplace_back(data, data + length);
        lastChannel = channel;
        cv.notify_all();
    }
    // Waits (bounded) until at least n RTP datagrams arrived.
    bool WaitRtp(size_t n, int timeoutMs = 2000) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return rtp.size() >= n; });
    }
    bool WaitRtcp(size_t n, int timeoutMs = 2000) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return rtcp.size() >= n; });
    }
    size_t RtpCount() {
        std::lock_guard<std::mutex> lock(m);
        return rtp.size();
    }
    size_t RtcpCount() {
        std::lock_guard<std::mutex> lock(m);
        return rtcp.size();
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<Bytes> rtp;
    std::vector<Bytes> rtcp;
    int lastChannel = -1;
};

class CollectingSink : public VERtpPayloadSink {
public:
    int ReceiveFrequency(int payloadType) override { return payloadType == 0 || payloadType == 8 ? 8000 : frequency; }
    int OnRtpPayload(const VERtpPayload& p) override {
        Item item;
        item.info = p;
        item.data.assign(p.data, p.data + p.length);
        items.push_back(item);
        return reject ? -1 : 0;
    }
    struct Item {
        VERtpPayload info;
        Bytes data;
    };
    std::vector<Item> items;
    int frequency = 8000;
    bool reject = false;
};

inline uint16_t Be16(const Bytes& b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }
inline uint32_t Be32(const Bytes& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

} // namespace qf::test
