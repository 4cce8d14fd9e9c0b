#include "voiceengine/CodecTable.h"
#include "voiceengine/VERTPDatabase.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string NameAt(const VECodecTable& t, int type, int pos) {
    const int idx = t.ListEntry(type, pos);
    return idx < 0 ? "" : t.At(idx).info.name;
}

TEST(CodecTableTest, NetworkTypeListsAndBounds) {
    VECodecTable t;
    EXPECT_EQ(13, t.ListCount(0));
    EXPECT_EQ(13, t.ListCount(1));
    EXPECT_EQ(13, t.ListCount(2));
    EXPECT_EQ(8, t.ListCount(3));
    EXPECT_EQ("WBPCM", NameAt(t, 0, 0));
    EXPECT_EQ("red", NameAt(t, 0, 9));
    EXPECT_EQ("telephone-event", NameAt(t, 1, 9));
    EXPECT_EQ("AWB", NameAt(t, 2, 0));
    EXPECT_EQ(16000, t.At(t.ListEntry(0, 12)).info.frequency); // CN 16 kHz last
    EXPECT_EQ("CN", NameAt(t, 0, 12));
    EXPECT_EQ(-1, t.ListEntry(0, 13));
    EXPECT_EQ(-1, t.ListEntry(3, 8));
    EXPECT_EQ(-1, t.ListEntry(0, -1));
    EXPECT_EQ(-1, t.FindInList(3, "PCMU"));
    EXPECT_EQ(VECodecTable::kPCMU, t.FindInList(0, "pcmu"));
    EXPECT_EQ(VECodecTable::kCN16, t.Find("cn", 16000));
    EXPECT_TRUE(t.IsAllowedPacketSize(VECodecTable::kPCMU, 480));
    EXPECT_FALSE(t.IsAllowedPacketSize(VECodecTable::kPCMU, 200));
    EXPECT_FALSE(t.IsAllowedPacketSize(VECodecTable::kXG711U, 480));
    EXPECT_FALSE(t.IsAllowedPacketSize(VECodecTable::kAWB, 320));
    EXPECT_FALSE(t.IsAllowedPacketSize(VECodecTable::kRed, 0));
}

TEST(RtpDatabaseTest, RebindMovesHolderToLowestFreeDynamicType) {
    VECodecTable t;
    VERTPDatabase db(t);
    db.CreateChannel(3);
    // Dynamic types in use: 97 100 101 102 103 105 106 117 119.
    EXPECT_EQ((1u << 1) | (1u << 4) | (1u << 5) | (1u << 6) | (1u << 7) | (1u << 9) | (1u << 10) | (1u << 21) |
                  (1u << 23),
              db.DynamicMask(3));

    ASSERT_EQ(0, db.Rebind(3, "telephone-event", 8000, 97));
    VERTPDatabase::Entry e;
    ASSERT_EQ(0, db.Lookup(3, 97, e));
    EXPECT_EQ(VECodecTable::kTelephoneEvent, e.codecIndex);
    ASSERT_EQ(0, db.Lookup(3, 96, e));
    EXPECT_EQ(VECodecTable::kWBPCM, e.codecIndex);
    EXPECT_EQ(-1, db.Lookup(3, 106, e));
    EXPECT_EQ(96, db.PayloadTypeOf(3, VECodecTable::kWBPCM));
    EXPECT_TRUE(db.DynamicMask(3) & 1u);
    EXPECT_FALSE(db.DynamicMask(3) & (1u << 10));

    // A static number taken over: PCMA moves to the next free dynamic type.
    ASSERT_EQ(0, db.Rebind(3, "PCMU", 8000, 8));
    ASSERT_EQ(0, db.Lookup(3, 8, e));
    EXPECT_EQ(VECodecTable::kPCMU, e.codecIndex);
    EXPECT_EQ(98, db.PayloadTypeOf(3, VECodecTable::kPCMA));
    EXPECT_EQ(-1, db.Lookup(3, 0, e));

    // Same number: nothing changes. Unknown codec or frequency: refused.
    const uint32_t mask = db.DynamicMask(3);
    EXPECT_EQ(0, db.Rebind(3, "PCMU", 8000, 8));
    EXPECT_EQ(mask, db.DynamicMask(3));
    EXPECT_EQ(-1, db.Rebind(3, "PCMU", 16000, 9));
    EXPECT_EQ(-1, db.Rebind(3, "opus", 48000, 111));
    EXPECT_EQ(-1, db.Rebind(4, "PCMU", 8000, 9)); // channel without bindings

    db.DeleteChannel(3);
    EXPECT_EQ(0u, db.DynamicMask(3));
    EXPECT_EQ(-1, db.Lookup(3, 8, e));
}

} // namespace
