#include "signalling/SdpCodecList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Row {
    int payload;
    std::string name;
    int clockRate;
    int mode;
};

std::vector<Row> Table(const char* list, int max = CSdpCodecList::MAX_CODECS) {
    CodecInfo table[CSdpCodecList::MAX_CODECS + 5] = {};
    const int n = CSdpCodecList::Parse(list, table, max);
    std::vector<Row> rows;
    for (int i = 0; i < n; ++i) rows.push_back({table[i].payload, table[i].name, table[i].clockRate, table[i].mode});
    return rows;
}

TEST(SdpCodecListTest, EveryKnownPayloadInListOrder) {
    const auto rows = Table("0,8,97,100,101,102,103,");
    const std::vector<Row> expected = {
        {0, "PCMU", 8000, 0},     {8, "PCMA", 8000, 0},    {97, "WBPCM", 8000, 0}, {100, "XG711U", 8000, 0},
        {101, "XG711A", 8000, 0}, {102, "iLBC", 8000, 30}, {103, "AWB", 8000, 0},
    };
    ASSERT_EQ(expected.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(expected[i].payload, rows[i].payload) << i;
        EXPECT_EQ(expected[i].name, rows[i].name) << i;
        EXPECT_EQ(expected[i].clockRate, rows[i].clockRate) << i;
        EXPECT_EQ(expected[i].mode, rows[i].mode) << i;
    }
}

TEST(SdpCodecListTest, ListShapes) {
    struct Case {
        const char* list;
        std::vector<int> payloads;
    } cases[] = {
        {"102,8,0,", {102, 8, 0}},
        {"102,8,0", {102, 8}},  // text after the last comma is ignored
        {"", {}},
        {"8", {}},
        {",8,", {0, 8}},        // an empty part reads as 0
        {"18,", {18}},          // unknown to us: payload only
        {"300,8,-1,0,", {8, 0}}, // not payload types: left out
    };
    for (const auto& c : cases) {
        const auto rows = Table(c.list);
        ASSERT_EQ(c.payloads.size(), rows.size()) << c.list;
        for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(c.payloads[i], rows[i].payload) << c.list;
    }
    const auto unknown = Table("18,");
    EXPECT_EQ("", unknown[0].name);
    EXPECT_EQ(0, unknown[0].clockRate);
}

TEST(SdpCodecListTest, AtMostTwentyEntries) {
    std::string list;
    for (int i = 0; i < 25; ++i) list += "8,";
    EXPECT_EQ(20u, Table(list.c_str()).size());
    EXPECT_EQ(3u, Table(list.c_str(), 3).size());
    CodecInfo table[1];
    EXPECT_EQ(0, CSdpCodecList::Parse(nullptr, table, 1));
}

} // namespace
