#include "signalling/ua/DtmfInfoBody.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DtmfInfoBodyTest, Bodies) {
    struct Case {
        std::string body;
        int found;
        int signal;
        int duration;
    } cases[] = {
        {"Signal=#\r\nDuration=160\r\n", 1, 11, 160},
        {"Signal=*\nDuration=100", 1, 10, 100},
        {"Signal=5\r\n", 1, 5, 0},
        {"Signal= *\r\nDuration=160\r\n", 1, 0, 160}, // only an exact "*" is the star
        {"Signal=#5\r\n", 1, 0, 0},
        {"\r\n\r\nDuration=250\r\n\r\nSignal=9\r\n", 1, 9, 250},
        {"Signal\r\n", 1, 0, 0},
        {"Duration=160\r\n", 0, -1, 160},
        {"", 0, -1, 0},
        {"Signal=3\tDuration=70", 1, 3, 70},          // any control character ends a line
        {std::string("Signal=7\0Duration=40", 20), 1, 7, 40},
        {"Signal=99999999999999999999\r\nDuration=-5", 1, 2147483647, -5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        int signal = 1234, duration = 1234;
        EXPECT_EQ(c.found, CDtmfInfoBody::Read(c.body.data(), c.body.size(), &signal, &duration));
        EXPECT_EQ(c.signal, signal);
        EXPECT_EQ(c.duration, duration);
    }
}

TEST(DtmfInfoBodyTest, LongLinesAreCut) {
    // The value past the line limit is not read.
    std::string body = "Signal=" + std::string(300, ' ') + "4\r\nDuration=" + std::string(240, '0') + "12345678";
    int signal = 0, duration = 0;
    EXPECT_EQ(1, CDtmfInfoBody::Read(body.data(), body.size(), &signal, &duration));
    EXPECT_EQ(0, signal);
    EXPECT_EQ(123456, duration);
    EXPECT_EQ(0, CDtmfInfoBody::Read(nullptr, 10, &signal, &duration));
    EXPECT_EQ(-1, signal);
}

} // namespace
