#include "web/VellXMLParser.h"

#include "app/Logger.h"
#include "contacts/AddressBookList.h"
#include "contacts/store/FakeAddressBookSettings.h"
#include "platform/ProfileFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

using qf::test::ReadFile;
using qf::test::TempDir;

namespace {

std::string Reply(const std::string& code, const std::string& data, const std::string& desc = "done") {
    return "<?xml version=\"1.0\"?>\n<result>\n <transId>12345</transId>\n <status>OK</status>\n <code>" + code +
           "</code>\n <desc>" + desc + "</desc>\n <data>" + data + "</data>\n</result>\n";
}

// One <entry> with all nineteen elements in their order; fields not given
// are derived from the serial number.
std::string Entry(const std::string& sno, const std::string& first, const std::string& voip = "",
                  const std::string& comments = "c") {
    return "<entry><sno>" + sno + "</sno><name>n" + sno + "</name><email>e" + sno + "@x</email><voip>" + voip +
           "</voip><mobile></mobile><home></home><business></business><title>t</title><firstname>" + first +
           "</firstname><middlename></middlename><lastname>L" + sno +
           "</lastname><birthdate>2001-02-03</birthdate><companyname>co</companyname><altemail></altemail>"
           "<fax></fax><pager></pager><icq></icq><website>w</website><comments>" +
           comments + "</comments></entry>";
}

std::string Book(const std::string& entries, const std::string& ts = "1700000000000") {
    return "<timestamp>" + ts + "</timestamp><addressbook>" + entries + "</addressbook>";
}

class VellXMLParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        book.SetAppDir(dir.path().string() + "/");
        book.SetUserNumber("4711");
        book.SetSettings(&settings);
        CLogger::Exit();
        CLogger::SetLevel(3);
        CLogger::Open(dir.file("test.log"));
    }
    void TearDown() override {
        CLogger::Exit();
        CLogger::SetLevel(7);
    }
    int Parse(const std::string& reply) {
        CVellXMLParser parser(&book);
        int r = parser.ParseXMLData(reply);
        last = parser;
        return r;
    }
    std::string Field(int i) {
        AddressBookEntry e;
        if (book.GetEntry(i, e) != 1) return "none";
        return std::string(1, e.status) + ":" + e.serialNo + ":" + e.firstName;
    }
    static AddressBookEntry Contact0() {
        AddressBookEntry e;
        ClearEntry(e);
        SetEntryField(e.serialNo, "1");
        SetEntryField(e.firstName, "local");
        return e;
    }
    std::string Log() {
        CLogger::Exit();
        std::string s = ReadFile(dir.file("test.log"));
        CLogger::Open(dir.file("test.log"));
        return s;
    }

    TempDir dir;
    FakeAddressBookSettings settings;
    CAddressBookList book;
    CVellXMLParser last{nullptr};
};

TEST_F(VellXMLParserTest, ReadsTheEnvelopeAndTheValuesItKnows) {
    ASSERT_EQ(1, Parse(Reply(" 0 ", "<balance> 12.50 </balance><sno>77</sno>", "a &amp; b")));
    EXPECT_EQ("12345", last.GetTransId());
    EXPECT_EQ("OK", last.GetStatus());
    EXPECT_EQ("0", last.GetCode());       // envelope values are trimmed
    EXPECT_EQ(0, last.GetCodeValue());
    EXPECT_EQ("a &amp; b", last.GetDesc()); // no entity decoding
    EXPECT_EQ(" 12.50 ", last.GetBalance()); // data values are not
    EXPECT_EQ("77", last.GetSerialNo());
    EXPECT_EQ("", last.GetVersionNumber());
    EXPECT_EQ("<balance> 12.50 </balance><sno>77</sno>", last.GetText());

    // Data the reader does not know is accepted with empty values.
    ASSERT_EQ(1, Parse(Reply("-1", "<other>x</other>")));
    EXPECT_EQ(-1, last.GetCodeValue());
    EXPECT_EQ("", last.GetBalance());
    EXPECT_EQ("", last.GetSerialNo());
}

TEST_F(VellXMLParserTest, RejectsAMissingEnvelopeElementAndLogsWhichOne) {
    const std::string good = Reply("0", "<balance>1</balance>");
    struct {
        std::string reply;
        const char* logged;
    } cases[] = {
        {"", "Unable to find <result> </result> tag"},
        {good.substr(0, good.find("</result>")), "Unable to find <result> </result> tag"},
        {Reply("0", "x").replace(Reply("0", "x").find("<transId>"), 9, "<transid>"), "Unable to find <transId> </transId> tag"},
        {Reply("0", "x").replace(Reply("0", "x").find("</status>"), 9, ""), "Unable to find <status> </status> tag"},
        {"<result><transId>1</transId><status>s</status><code id=\"1\">0</code><desc>d</desc><data></data></result>",
         "Unable to find <code> </code> tag"}, // an attribute hides the tag
        {"<result><transId>1</transId><status>s</status><code>0</code><data></data></result>",
         "Unable to find <desc> </desc> tag"},
        {"<result><transId>1</transId><status>s</status><code>0</code><desc>d</desc><data/></result>",
         "Unable to find <data> </data> tag"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(-1, Parse(c.reply)) << c.reply;
        EXPECT_NE(std::string::npos, Log().find(c.logged)) << c.logged;
    }
    // Element order inside <result> is free.
    EXPECT_EQ(1, Parse("<result><data>d</data><desc>x</desc><code>3</code><status>s</status><transId>t</transId></result>"));
    EXPECT_EQ("3", last.GetCode());
}

TEST_F(VellXMLParserTest, CutsEnvelopeValuesButNotDataValues) {
    const std::string longText(300, 'q');
    ASSERT_EQ(1, Parse(Reply("0", "<balance>" + longText + "</balance>", longText)));
    EXPECT_EQ(std::string(255, 'q'), last.GetDesc());
    EXPECT_EQ(longText, last.GetBalance());

    CVellXMLParser p(&book);
    p.ParseXMLData(Reply("0", "<balance> x </balance>"));
    char small[4];
    EXPECT_EQ(3, p.GetNextTag("<balance>", "</balance>", small, sizeof small));
    EXPECT_STREQ("x", small);
    EXPECT_EQ(-1, p.GetNextTag("<balance>", "</nothing>", small, sizeof small));
}

TEST_F(VellXMLParserTest, VersionAndLinkAreTakenInThatOrder) {
    struct {
        std::string data;
        std::string version, link;
        int result;
    } cases[] = {
        {"<versionnumber>quarvoFON Version 2.7</versionnumber><downloadlink>http://h/f.exe</downloadlink>",
         "quarvoFON Version 2.7", "http://h/f.exe", 21},
        {"<versionnumber>v</versionnumber>", "v", "", -1},
        {"<downloadlink>early</downloadlink><versionnumber>v</versionnumber>", "v", "", -1},
        {"<downloadlink>l</downloadlink>", "", "", -1},
    };
    for (const auto& c : cases) {
        CVellXMLParser p(&book);
        ASSERT_EQ(1, p.ParseXMLData(Reply("0", c.data)));
        EXPECT_EQ(c.version, p.GetVersionNumber());
        EXPECT_EQ(c.link, p.GetDownloadLink());
        EXPECT_EQ(c.result, p.FindVersionNo());
    }
}

TEST_F(VellXMLParserTest, GetTagDataWalksForward) {
    CVellXMLParser p(&book);
    ASSERT_EQ(1, p.ParseXMLData(Reply("0", "<a> 1 </a><a>2</a>")));
    int pos = 0;
    std::string v;
    EXPECT_EQ(3, p.GetTagData(pos, "<a>", "</a>", v));
    EXPECT_EQ("1", v);
    EXPECT_EQ(3, pos);
    EXPECT_EQ(1, p.GetTagData(pos, "<a>", "</a>", v));
    EXPECT_EQ("2", v);
    EXPECT_EQ(-1, p.GetTagData(pos, "<a>", "</a>", v));
    EXPECT_EQ(-1, pos);
    EXPECT_EQ(-1, p.GetTagData(pos, "<a>", "</a>", v)); // stays failed
}

TEST_F(VellXMLParserTest, CompleteBookReplacesEverythingIncrementalOnlyAddsAndUpdates) {
    book.AddEntry(Contact0());
    ASSERT_EQ(1, Parse(Reply("0", Book(Entry("5", "five") + Entry("6", "six")))));
    EXPECT_EQ((std::vector<std::string>{"1700000000000"}), settings.stored);
    ASSERT_EQ(3, book.Count());

    // Code 0: serial 6 present -> updated in place; 7 new -> added.
    ASSERT_EQ(1, Parse(Reply("0", Book(Entry("6", "SIX") + Entry("7", "seven"), "1800"))));
    EXPECT_EQ("1:6:SIX", Field(2));
    EXPECT_EQ("1:7:seven", Field(3));
    EXPECT_EQ("1:1:local", Field(0));

    // Code 1001 with an empty book deletes nothing, but the time stamp is kept.
    ASSERT_EQ(1, Parse(Reply("1001", Book("", "1900"))));
    EXPECT_EQ(4, book.Count());
    EXPECT_EQ("1900", settings.stored.back());

    // Code 1001 with entries: the whole local book, file included, is replaced.
    ASSERT_EQ(1, Parse(Reply("1001", Book(Entry("9", "nine") + Entry("6", "six again")))));
    ASSERT_EQ(2, book.Count());
    EXPECT_EQ("1:9:nine", Field(0));
    EXPECT_EQ("1:6:six again", Field(1));
    book.Clear();
    book.Load();
    ASSERT_EQ(2, book.Count());
    EXPECT_EQ("1:6:six again", Field(1));
    AddressBookEntry e;
    book.GetEntry(0, e);
    EXPECT_STREQ("n9", e.name);
    EXPECT_STREQ("e9@x", e.email);
    EXPECT_STREQ("2001-02-03", e.birthDate);
    EXPECT_STREQ("co", e.companyName);
    EXPECT_STREQ("c", e.comments);
}

TEST_F(VellXMLParserTest, BookIsAppliedOnlyWhenItsFrameIsComplete) {
    struct {
        std::string data;
        size_t stored;
        int count;
    } cases[] = {
        {"<timestamp>1</timestamp>" + Entry("1", "a"), 0, 0},                              // no <addressbook>
        {"<timestamp>1</timestamp><addressbook>" + Entry("1", "a"), 0, 0},                 // no </addressbook>
        {"<addressbook>" + Entry("1", "a") + "</addressbook><timestamp>1</timestamp>", 0, 0}, // book before stamp
        {"<addressbook></addressbook>" + Entry("1", "a"), 0, 0},                           // no stamp at all
        {Book(Entry("1", "a") + "<entry><sno>2</sno>"), 1, 1},                             // open last entry ignored
    };
    for (const auto& c : cases) {
        settings.stored.clear();
        book.Clear();
        ASSERT_EQ(1, Parse(Reply("0", c.data))) << c.data;
        EXPECT_EQ(c.stored, settings.stored.size()) << c.data;
        EXPECT_EQ(c.count, book.Count()) << c.data;
    }

    // When the time stamp cannot be stored, no entry is applied.
    settings.storeResult = -4;
    book.Clear();
    ASSERT_EQ(1, Parse(Reply("1001", Book(Entry("1", "a")))));
    EXPECT_EQ(0, book.Count());
}

TEST_F(VellXMLParserTest, MissingFieldStopsTheWalkAtThatEntry) {
    std::string broken = Entry("2", "b");
    broken.erase(broken.find("<comments>"), std::string("<comments>c</comments>").size());
    ASSERT_EQ(1, Parse(Reply("0", Book(Entry("1", "a") + broken + Entry("3", "c", "", "")))));
    // Fields are searched past </entry>, so the broken entry takes the next
    // entry's comments and the walk goes on from after its own </entry>.
    EXPECT_EQ(3, book.Count());

    book.Clear();
    ASSERT_EQ(1, Parse(Reply("0", Book(Entry("1", "a") + broken))));
    EXPECT_EQ(1, book.Count());
    EXPECT_EQ("1:1:a", Field(0));

    // Elements out of their order count as missing.
    std::string swapped = Entry("4", "d");
    swapped.replace(swapped.find("<name>"), 0, "<email>x</email>");
    swapped.erase(swapped.find("<email>e4@x</email>"), std::string("<email>e4@x</email>").size());
    book.Clear();
    ASSERT_EQ(1, Parse(Reply("0", Book(swapped))));
    EXPECT_EQ(0, book.Count());
}

TEST_F(VellXMLParserTest, ServiceValuesAreCutAndStoredWithoutShiftingTheFile) {
    const std::string longName(400, 'N');
    ASSERT_EQ(1, Parse(Reply("0", Book(Entry("1", "A|B", "1|2", "x|y|z") + Entry("2", longName)))));
    book.Clear();
    book.Load();
    ASSERT_EQ(2, book.Count());
    AddressBookEntry e;
    book.GetEntry(0, e);
    EXPECT_STREQ("A|B", e.firstName);
    EXPECT_STREQ("1|2", e.voip);
    EXPECT_STREQ("x|y|z", e.comments);
    EXPECT_STREQ("L1", e.lastName);
    book.GetEntry(1, e);
    EXPECT_EQ(std::string(255, 'N'), e.firstName);
    EXPECT_STREQ("c", e.comments);
}

TEST_F(VellXMLParserTest, TruncatedRepliesNeverApplyHalfAnEntry) {
    const std::string full = Reply("0", Book(Entry("1", "a") + Entry("2", "b")));
    for (size_t n = 0; n < full.rfind("</result>") + 9; ++n) {
        book.Clear();
        CVellXMLParser p(&book);
        int r = p.ParseXMLData(full.substr(0, n));
        ASSERT_EQ(-1, r) << n; // </result> is the last tag
        ASSERT_EQ(0, book.Count()) << n;
    }
    // Cut inside <data> but with the envelope closed behind it.
    const std::string data = Book(Entry("1", "a") + Entry("2", "b"));
    for (size_t n = 0; n < data.size(); n += 7) {
        book.Clear();
        ASSERT_EQ(1, Parse(Reply("0", data.substr(0, n))));
        AddressBookEntry e;
        for (int p = book.NextEntry(-1, e); p >= 0; p = book.NextEntry(p, e)) {
            EXPECT_STREQ("c", e.comments) << n;
        }
    }
}

TEST_F(VellXMLParserTest, GarbageRepliesAreRejectedOrReadInBounds) {
    std::mt19937 rng(7);
    std::string garbage(10u * 1024 * 1024, '\0');
    for (char& c : garbage) c = static_cast<char>(rng());
    EXPECT_EQ(-1, Parse(garbage));
    // Garbage around a valid envelope, NUL bytes included.
    std::string mixed = Reply("0", garbage.substr(0, 5000) + std::string("<balance>\0x</balance>", 22) +
                                       garbage.substr(0, 100));
    ASSERT_EQ(1, Parse(mixed));
    EXPECT_EQ(std::string("\0x", 2), last.GetBalance());
    EXPECT_EQ(0, book.Count());
}

TEST_F(VellXMLParserTest, TenMegabyteBookIsAppliedWhole) {
    std::string entries;
    int n = 0;
    while (entries.size() < 10u * 1024 * 1024) {
        ++n;
        entries += Entry(std::to_string(n), "f" + std::to_string(n));
    }
    ASSERT_EQ(1, Parse(Reply("1001", Book(entries))));
    ASSERT_EQ(n, book.Count());
    EXPECT_EQ("1:" + std::to_string(n) + ":f" + std::to_string(n), Field(n - 1));
    book.Clear();
    book.Load();
    EXPECT_EQ(n, book.Count());
}

// Many empty entries whose fields are all found at the end: every entry
// searches to the end of the text. This must stay linear in the reply.
TEST_F(VellXMLParserTest, HostileBookStaysLinear) {
    std::string hostile;
    while (hostile.size() < 1024u * 1024) hostile += "<entry></entry>";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(1, Parse(Reply("0", Book(hostile + Entry("1", "last")))));
    EXPECT_EQ(1, book.Count()); // every empty entry resolves to the same serial
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

} // namespace
