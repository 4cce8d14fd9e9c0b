#pragma once
// Reading RTP packets without trusting them: every length is checked
// against the buffer before anything is read.
#include <cstddef>
#include <cstdint>

struct VERtpHeaderView {
    bool padding = false;
    bool extension = false;
    int csrcCount = 0;
    bool marker = false;
    int payloadType = 0;
    uint16_t sequenceNumber = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    const uint8_t* csrcs = nullptr;          // csrcCount big-endian words
    uint16_t extensionProfile = 0;
    const uint8_t* extensionData = nullptr;
    size_t extensionWords = 0;
    const uint8_t* payload = nullptr;
    size_t payloadLength = 0;                // padding removed
};

struct VERedBlock {
    int payloadType = 0;
    uint32_t timestamp = 0;
    const uint8_t* data = nullptr;
    size_t length = 0;
    bool primary = false;
};

class VERtpPacket {
public:
    static constexpr size_t kHeaderLength = 12;
    static constexpr int kMaxRedBlocks = 16;

    // 0, or -1 for anything that is not a well-formed version-2 packet.
    static int Parse(const uint8_t* data, size_t length, VERtpHeaderView& out);
    // Splits an RFC 2198 payload into its blocks (redundant ones first, the
    // primary last). Returns the count, -1 when malformed.
    static int SplitRed(const uint8_t* payload, size_t length, uint32_t timestamp, VERedBlock* blocks, int capacity);

    static uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
    static uint32_t Read32(const uint8_t* p) {
        return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
               (static_cast<uint32_t>(p[2]) << 8) | p[3];
    }
    static void Write16(uint8_t* p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v >> 8);
        p[1] = static_cast<uint8_t>(v);
    }
    static void Write32(uint8_t* p, uint32_t v) {
        p[0] = static_cast<uint8_t>(v >> 24);
        p[1] = static_cast<uint8_t>(v >> 16);
        p[2] = static_cast<uint8_t>(v >> 8);
        p[3] = static_cast<uint8_t>(v);
    }
};
