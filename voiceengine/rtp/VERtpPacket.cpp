#include "voiceengine/rtp/VERtpPacket.h"

int VERtpPacket::Parse(const uint8_t* data, size_t length, VERtpHeaderView& out) {
    if (!data || length < kHeaderLength) return -1;
    if ((data[0] & 0xC0) != 0x80) return -1;
    out = VERtpHeaderView{};
    out.padding = (data[0] & 0x20) != 0;
    out.extension = (data[0] & 0x10) != 0;
    out.csrcCount = data[0] & 0x0F;
    out.marker = (data[1] & 0x80) != 0;
    out.payloadType = data[1] & 0x7F;
    out.sequenceNumber = Read16(data + 2);
    out.timestamp = Read32(data + 4);
    out.ssrc = Read32(data + 8);
    size_t pos = kHeaderLength;
    const size_t csrcBytes = static_cast<size_t>(out.csrcCount) * 4;
    if (length - pos < csrcBytes) return -1;
    out.csrcs = data + pos;
    pos += csrcBytes;
    if (out.extension) {
        if (length - pos < 4) return -1;
        out.extensionProfile = Read16(data + pos);
        out.extensionWords = Read16(data + pos + 2);
        pos += 4;
        if ((length - pos) / 4 < out.extensionWords) return -1;
        out.extensionData = data + pos;
        pos += out.extensionWords * 4;
    }
    size_t end = length;
    if (out.padding) {
        const size_t pad = data[length - 1];
        if (pad == 0 || pad > end - pos) return -1;
        end -= pad;
    }
    out.payload = data + pos;
    out.payloadLength = end - pos;
    return 0;
}

int VERtpPacket::SplitRed(const uint8_t* payload, size_t length, uint32_t timestamp, VERedBlock* blocks,
                          int capacity) {
    if (!payload || !blocks || capacity <= 0) return -1;
    // Headers first: 4 bytes per redundant block (F=1), one byte for the last.
    size_t pos = 0;
    int count = 0;
    size_t dataBytes = 0;
    for (;;) {
        if (pos >= length || count >= capacity) return -1;
        const uint8_t b = payload[pos];
        VERedBlock& block = blocks[count];
        block = VERedBlock{};
        block.payloadType = b & 0x7F;
        if ((b & 0x80) == 0) {
            block.primary = true;
            block.timestamp = timestamp;
            ++pos;
            ++count;
            break;
        }
        if (length - pos < 4) return -1;
        const uint32_t offset = (static_cast<uint32_t>(payload[pos + 1]) << 6) | (payload[pos + 2] >> 2);
        const size_t blockLength = (static_cast<size_t>(payload[pos + 2] & 0x03) << 8) | payload[pos + 3];
        block.timestamp = timestamp - offset;
        block.length = blockLength;
        dataBytes += blockLength;
        pos += 4;
        ++count;
    }
    if (length - pos < dataBytes) return -1;
    const uint8_t* p = payload + pos;
    for (int i = 0; i < count - 1; ++i) {
        blocks[i].data = p;
        p += blocks[i].length;
    }
    blocks[count - 1].data = p;
    blocks[count - 1].length = static_cast<size_t>(payload + length - p);
    return count;
}
