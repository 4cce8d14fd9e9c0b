#include "contacts/AddressBookEntry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

AddressBookEntry FullEntry() {
    AddressBookEntry e;
    ClearEntry(e);
    e.status = '1';
    int i = 0;
    for (EntryField f : kEntryFileOrder) SetEntryField(e.*f, "f" + std::to_string(i++));
    return e;
}

TEST(AddressBookLine, WritesTheFileOrderWithTwentyBars) {
    AddressBookEntry e = FullEntry();
    EXPECT_EQ("1|f0|f1|f2|f3|f4|f5|f6|f7|f8|f9|f10|f11|f12|f13|f14|f15|f16|f17|f18|", FormatAddressBookLine(e));
    // The file order puts serial first and company and birth date near the end.
    EXPECT_STREQ("f0", e.serialNo);
    EXPECT_STREQ("f1", e.name);
    EXPECT_STREQ("f16", e.companyName);
    EXPECT_STREQ("f17", e.birthDate);
    EXPECT_STREQ("f18", e.comments);

    e.status = '0';
    EXPECT_EQ('0', FormatAddressBookLine(e)[0]);

    const AddressBookEntry full = FullEntry();
    AddressBookEntry back;
    EXPECT_EQ(1, ParseAddressBookLine(FormatAddressBookLine(full), back));
    EXPECT_EQ(0, std::memcmp(&back, &full, sizeof back));
}

TEST(AddressBookLine, ReadsLinesAsLiveOrFreeSlots) {
    const std::string full = "|15|Name|e|v|m|h|b|t|First|Mid|Last|ae|fx|pg|icq|web|Co|2001-02-03|note|";
    struct Case {
        std::string line;
        int result;
        char status;
        const char* serial;
        const char* comments;
    } cases[] = {
        {"1" + full, 1, '1', "15", "note"},
        {"0" + full, 0, '0', "15", "note"},
        {"x" + full, 0, '0', "15", "note"},           // an unknown status is no contact
        {"1" + full + "trailing", 1, '1', "15", "note"},
        {"1|15||", 0, '0', "15", ""},                  // cut short: keeps its place as a free slot
        {"1" + full.substr(0, full.size() - 1), 0, '0', "15", ""}, // last bar missing
        {"1", 0, '0', "", ""},
        {"1|", 0, '0', "", ""},
        {"1" + std::string(20, '|'), 1, '1', "", ""},      // all nineteen fields empty
    };
    for (const Case& c : cases) {
        AddressBookEntry e;
        EXPECT_EQ(c.result, ParseAddressBookLine(c.line, e)) << c.line;
        EXPECT_EQ(c.status, e.status) << c.line;
        EXPECT_STREQ(c.serial, e.serialNo) << c.line;
        EXPECT_STREQ(c.comments, e.comments) << c.line;
    }
}

TEST(AddressBookLine, LongFieldsAreReadWholeAndCutTo255) {
    // 19 full fields make a line far beyond 765 characters.
    AddressBookEntry e;
    ClearEntry(e);
    e.status = '1';
    for (EntryField f : kEntryFileOrder) SetEntryField(e.*f, std::string(400, 'z'));
    EXPECT_EQ(255u, std::strlen(e.comments));
    const std::string line = FormatAddressBookLine(e);
    EXPECT_EQ(2u + 19u * 256u, line.size());
    AddressBookEntry back;
    EXPECT_EQ(1, ParseAddressBookLine(line, back));
    EXPECT_EQ(std::string(255, 'z'), back.comments);

    // An over-long field in a file is cut, and the fields after it still land.
    std::string hand = "1|" + std::string(300, 'a') + "|n|";
    for (int i = 2; i < 19; ++i) hand += "x|";
    EXPECT_EQ(1, ParseAddressBookLine(hand, back));
    EXPECT_EQ(std::string(255, 'a'), back.serialNo);
    EXPECT_STREQ("n", back.name);
}

// A bar or line break inside a value (the service may send them) must not
// move the fields after it, and must come back as it was.
TEST(AddressBookLine, SeparatorsInsideValuesDoNotShiftFields) {
    AddressBookEntry e = FullEntry();
    SetEntryField(e.name, "A|B");
    SetEntryField(e.comments, "line1\r\nline2 | \x1b ok");
    SetEntryField(e.website, "\x1bp"); // looks like an escape already
    const std::string line = FormatAddressBookLine(e);
    EXPECT_EQ(std::string::npos, line.find_first_of("\r\n"));
    EXPECT_EQ(20, std::count(line.begin(), line.end(), '|'));
    AddressBookEntry back;
    ASSERT_EQ(1, ParseAddressBookLine(line, back));
    EXPECT_STREQ("A|B", back.name);
    EXPECT_STREQ("line1\r\nline2 | \x1b ok", back.comments);
    EXPECT_STREQ("\x1bp", back.website);
    EXPECT_STREQ("f2", back.email);

    // Lines from before the escapes: nothing to undo.
    EXPECT_EQ("C:\\dir\\ 100% ~^", UnescapeEntryField("C:\\dir\\ 100% ~^"));
    // A stray ESC that starts no escape is kept.
    EXPECT_EQ("a\x1bz\x1b", UnescapeEntryField("a\x1bz\x1b"));
}

TEST(AddressBookLine, ReadDecimalBehavesLikeTheCLibrary) {
    struct {
        const char* text;
        int value;
    } cases[] = {{"15", 15},   {"007", 7},      {"  -3x", -3},         {"+8", 8},       {"", 0},
                 {"abc", 0},   {" 1001 ", 1001}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
    for (const auto& c : cases) EXPECT_EQ(c.value, ReadDecimal(c.text)) << c.text;
}

} // namespace
