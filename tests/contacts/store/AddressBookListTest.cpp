#include "contacts/AddressBookList.h"
#include "FakeAddressBookSettings.h"
#include "platform/ProfileFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

using qf::test::ReadFile;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

AddressBookEntry Contact(const std::string& serial, const std::string& first, const std::string& last = "",
                         const std::string& voip = "", const std::string& home = "") {
    AddressBookEntry e;
    ClearEntry(e);
    e.status = '1';
    SetEntryField(e.serialNo, serial);
    SetEntryField(e.firstName, first);
    SetEntryField(e.lastName, last);
    SetEntryField(e.voip, voip);
    SetEntryField(e.home, home);
    SetEntryField(e.name, " ");
    return e;
}

class AddressBookListTest : public ::testing::Test {
protected:
    void SetUp() override {
        book.SetAppDir(dir.path().string() + "/");
        book.SetUserNumber("4711");
        book.SetSettings(&settings);
    }
    std::string Line(int i) {
        char key[32];
        std::snprintf(key, sizeof key, "Entry%03d", i);
        return qf::platform::GetPrivateProfileString("quarvoFON", key, "<missing>", path);
    }
    void Reload() {
        book.Clear();
        book.Load();
    }
    std::string Serial(int i) {
        AddressBookEntry e;
        return book.GetEntry(i, e) == 1 ? std::string(1, e.status) + ":" + e.serialNo : "none";
    }

    TempDir dir;
    std::string path = dir.file("quarvoFONAddress4711.ini");
    FakeAddressBookSettings settings;
    CAddressBookList book;
};

TEST_F(AddressBookListTest, FileNameFollowsTheSignedInNumber) {
    EXPECT_EQ(path, book.FilePath());
    // A typed number must not reach outside the program folder.
    book.SetUserNumber("../../etc/x");
    EXPECT_EQ("", book.FilePath());
    book.AddEntry(Contact("1", "a"));
    book.ReplaceAll();
    EXPECT_EQ(0, book.Count());
    book.SetUserNumber("");
    EXPECT_EQ("", book.FilePath());
}

TEST_F(AddressBookListTest, AddReusesFreeSlotsAndKeepsPositionsAcrossReload) {
    book.AddEntry(Contact("10", "a"));
    book.AddEntry(Contact("11", "b"));
    book.AddEntry(Contact("12", "c"));
    ASSERT_EQ(3, book.Count());
    EXPECT_EQ('1', Line(2)[0]);

    // Deleting position 1 leaves a free slot in memory and in the file.
    ASSERT_EQ(1, book.DeleteEntry(1));
    EXPECT_EQ("0|11|", Line(1).substr(0, 5));
    Reload();
    EXPECT_EQ(3, book.Count());
    EXPECT_EQ("1:10", Serial(0));
    EXPECT_EQ("0:11", Serial(1));
    EXPECT_EQ("1:12", Serial(2));
    EXPECT_EQ(0, book.addressBookEmpty.load());

    // The next new contact takes that slot; the count stays.
    book.AddEntry(Contact("13", "d"));
    EXPECT_EQ(3, book.Count());
    EXPECT_EQ("1|13|", Line(1).substr(0, 5));
    // With no free slot left, the list grows and the next key is written.
    book.AddEntry(Contact("14", "e"));
    EXPECT_EQ(4, book.Count());
    EXPECT_EQ("1|14|", Line(3).substr(0, 5));

    EXPECT_EQ(-1, book.DeleteEntry(4));
    EXPECT_EQ(-1, book.DeleteEntry(-1));
}

TEST_F(AddressBookListTest, FindBySerialMatchesLiveEntriesByExactText) {
    book.AddEntry(Contact("007", "bond"));
    book.AddEntry(Contact("8", "free"));
    book.AddEntry(Contact("8", "second"));
    book.DeleteEntry(1);
    EXPECT_EQ(-1, book.FindBySerial(7));  // "007" is not "7"
    EXPECT_EQ(2, book.FindBySerial(8));   // the free slot never matches
    EXPECT_EQ(-1, book.FindBySerial(0));
    EXPECT_EQ(-1, book.FindBySerial(-8));

    // Duplicates: the first live one counts, then the next once it goes.
    book.AddEntry(Contact("9", "x")); // takes the free slot 1
    book.AddEntry(Contact("9", "y")); // appended at 3
    EXPECT_EQ(1, book.FindBySerial(9));
    book.DeleteEntry(1);
    EXPECT_EQ(3, book.FindBySerial(9));
    ASSERT_EQ(1, book.Overwrite(Contact("10", "z"), 3));
    EXPECT_EQ(-1, book.FindBySerial(9));
    EXPECT_EQ(3, book.FindBySerial(10));
    // Overwrite is memory only; the file still has serial 9 there.
    Reload();
    EXPECT_EQ(3, book.FindBySerial(9));
    EXPECT_EQ(-1, book.FindBySerial(10));
    EXPECT_EQ(2, book.FindBySerial(8));
}

TEST_F(AddressBookListTest, UpdateReplacesTheLiveEntryWithTheSameSerial) {
    book.AddEntry(Contact("5", "old"));
    book.AddEntry(Contact("6", "other"));
    AddressBookEntry changed = Contact("5", "new");
    changed.status = '0'; // whatever the caller left there, an update is live
    EXPECT_EQ(0, book.UpdateEntry(changed));
    AddressBookEntry e;
    book.GetEntry(0, e);
    EXPECT_STREQ("new", e.firstName);
    EXPECT_EQ('1', e.status);
    EXPECT_NE(std::string::npos, Line(0).find("|new|"));

    book.DeleteEntry(1);
    EXPECT_EQ(-1, book.UpdateEntry(Contact("6", "gone")));
    EXPECT_EQ(-1, book.UpdateEntry(Contact("99", "never")));
    EXPECT_EQ("0:6", Serial(1));
}

TEST_F(AddressBookListTest, LoadStopsAtTheFirstMissingKeyAndKeepsShortLinesAsFreeSlots) {
    const std::string live = "|n|e|v|m|h|b|t|f|mi|l|ae|fx|p|i|w|c|bd|cm|";
    WriteFile(path, "[quarvoFON]\n"
                    "Entry000=1|1" + live + "\n"
                    "Entry001=1|15||\n"
                    "Entry002=1|2" + live + "\n"
                    "Entry004=1|4" + live + "\n");
    book.Load();
    ASSERT_EQ(3, book.Count());
    EXPECT_EQ("1:1", Serial(0));
    EXPECT_EQ("0:15", Serial(1));
    EXPECT_EQ("1:2", Serial(2));

    // Without Entry001, only Entry000 is read even though Entry002 exists.
    WriteFile(path, "[quarvoFON]\nEntry000=1|1" + live + "\nEntry002=1|2" + live + "\n");
    Reload();
    EXPECT_EQ(1, book.Count());

    // An empty value ends the list like a missing one.
    WriteFile(path, "[quarvoFON]\nEntry000=\nEntry001=1|2" + live + "\n");
    Reload();
    EXPECT_EQ(0, book.Count());
    EXPECT_EQ(1, book.addressBookEmpty.load());
}

TEST_F(AddressBookListTest, EmptyOrMissingBookSetsTheEmptyFlag) {
    book.Load();
    EXPECT_EQ(0, book.Count());
    EXPECT_EQ(1, book.addressBookEmpty.load());

    // Only free slots is still empty.
    book.AddEntry(Contact("1", "a"));
    book.DeleteEntry(0);
    Reload();
    EXPECT_EQ(1, book.Count());
    EXPECT_EQ(1, book.addressBookEmpty.load());
}

TEST_F(AddressBookListTest, DeleteAllRemovesTheSectionAndStartsAgainAtEntry000) {
    WriteFile(path, "[Other]\nkeep=1\n");
    book.AddEntry(Contact("1", "a"));
    book.AddEntry(Contact("2", "b"));
    EXPECT_EQ(1, book.DeleteAll());
    EXPECT_EQ(0, book.Count());
    EXPECT_EQ((std::vector<std::string>{"Other"}), qf::platform::GetPrivateProfileSectionNames(path));
    book.AddEntry(Contact("3", "c"));
    EXPECT_EQ("1|3|", Line(0).substr(0, 4));
    EXPECT_EQ("<missing>", Line(1));
}

TEST_F(AddressBookListTest, ReplaceAllDeletesTheFile) {
    book.AddEntry(Contact("1", "a"));
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(1, book.ReplaceAll());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(0, book.Count());
    book.AddEntry(Contact("2", "b"));
    EXPECT_EQ("1|2|", Line(0).substr(0, 4));
}

TEST_F(AddressBookListTest, ThousandsOfEntriesUseFourDigitKeysAndReloadInPlace) {
    {
        CAddressBookList::Batch batch(book);
        for (int i = 0; i < 1001; ++i) book.AddEntry(Contact(std::to_string(i + 1), "n" + std::to_string(i)));
    }
    EXPECT_EQ("1|1000|", Line(999).substr(0, 7));
    EXPECT_EQ("1|1001|", qf::platform::GetPrivateProfileString("quarvoFON", "Entry1000", "", path).substr(0, 7));
    Reload();
    EXPECT_EQ(1001, book.Count());
    EXPECT_EQ("1:1001", Serial(1000));
    EXPECT_EQ(1000, book.FindBySerial(1001));
}

TEST_F(AddressBookListTest, FirstUseCleanUpDeletesAllAddressBooksAndTheCallHistory) {
    struct Case {
        int result, value;
        bool cleans;
    } cases[] = {
        {2, 0, true},   // never set: first use
        {1, 1, true},   // set to 1 (portable settings of a new file)
        {1, 0, false},
        {-4, 1, false}, // a failed read leaves everything alone
    };
    const char* doomed[] = {"quarvoFONAddress4711.ini", "quarvoFONAddress99.ini", "quarvoFONCallHistory.ini"};
    const char* kept[] = {"other.ini", "quarvoFONAddress99.txt", "myquarvoFONAddress1.ini"};
    for (const Case& c : cases) {
        for (const char* f : doomed) WriteFile(dir.file(f), "[quarvoFON]\nEntry000=1|1" + std::string(19, '|') + "\n");
        for (const char* f : kept) WriteFile(dir.file(f), "x");
        settings.firstTimeResult = c.result;
        settings.firstTimeValue = c.value;
        Reload();
        for (const char* f : doomed) EXPECT_EQ(!c.cleans, std::filesystem::exists(dir.file(f))) << f << " " << c.result;
        for (const char* f : kept) EXPECT_TRUE(std::filesystem::exists(dir.file(f))) << f;
        EXPECT_EQ(c.cleans ? 0 : 1, book.Count());
        EXPECT_EQ(c.cleans ? 1 : 0, book.addressBookEmpty.load());
    }
    // Without a settings keeper there is no clean-up either.
    book.SetSettings(nullptr);
    Reload();
    EXPECT_EQ(1, book.Count());
}

TEST_F(AddressBookListTest, FindNameByNumberTakesTheFirstMatchingContact) {
    book.AddEntry(Contact("1", "Ann", "Lee", "100", "200"));
    book.AddEntry(Contact("2", "", "", "300"));            // no name at all
    book.AddEntry(Contact("3", "Bob", "Roe", "300", "400"));
    AddressBookEntry mid = Contact("4", "  Carl", "");
    SetEntryField(mid.middleName, "M");
    SetEntryField(mid.business, "500");
    book.AddEntry(mid);
    book.AddEntry(Contact("5", "Dead", "", "600"));
    book.DeleteEntry(4);

    struct {
        const char* number;
        int result;
        const char* name;
        int position, field;
    } cases[] = {
        {"200", 1, "Ann  Lee", 0, MATCH_HOME},
        {"100", 1, "Ann  Lee", 0, MATCH_VOIP},
        {"300", 0, "", -1, -1}, // first match has no name: no name, although Bob has it too
        {"400", 1, "Bob  Roe", 2, MATCH_HOME},
        {"500", 1, "Carl M", 3, MATCH_BUSINESS},
        {"600", 0, "", -1, -1}, // deleted
        {"10", 0, "", -1, -1},  // exact comparison only
        {"", 0, "", -1, -1},    // empty mobile fields match no unknown caller
    };
    for (const auto& c : cases) {
        std::string name = "junk";
        int position = 9, field = 9;
        EXPECT_EQ(c.result, book.FindNameByNumber(c.number, name, position, field)) << c.number;
        EXPECT_EQ(c.name, name) << c.number;
        EXPECT_EQ(c.position, position) << c.number;
        EXPECT_EQ(c.field, field) << c.number;
    }
}

TEST_F(AddressBookListTest, SearchByNameListsLiveContactsInLowerCase) {
    book.AddEntry(Contact("1", "Anna", "Smith"));
    book.AddEntry(Contact("2", "Joanna", "Brown"));
    book.AddEntry(Contact("3", "Hannah", "Anderson"));
    book.AddEntry(Contact("4", "Annabel", "Gone"));
    book.DeleteEntry(3);
    auto hits = book.SearchByName("  ANN ");
    ASSERT_EQ(3u, hits.size());
    EXPECT_EQ("anna  smith", hits[0].displayName);
    EXPECT_EQ("1", hits[0].serialNo);
    EXPECT_EQ("joanna  brown", hits[1].displayName);
    EXPECT_EQ("3", hits[2].serialNo);
    EXPECT_EQ(0u, book.SearchByName("zzz").size());
    EXPECT_EQ(3u, book.SearchByName("").size());
}

TEST_F(AddressBookListTest, ValuesWithBarsSurviveTheFile) {
    AddressBookEntry e = Contact("1", "Pipe|Name", "O|Brien", "1|2");
    SetEntryField(e.comments, "two\nlines");
    book.AddEntry(e);
    book.AddEntry(Contact("2", "next"));
    Reload();
    ASSERT_EQ(2, book.Count());
    AddressBookEntry back;
    book.GetEntry(0, back);
    EXPECT_STREQ("Pipe|Name", back.firstName);
    EXPECT_STREQ("O|Brien", back.lastName);
    EXPECT_STREQ("1|2", back.voip);
    EXPECT_STREQ("two\nlines", back.comments);
    EXPECT_EQ("1:2", Serial(1));
}

TEST_F(AddressBookListTest, NextEntryWalksEveryNodeAsCopies) {
    book.AddEntry(Contact("1", "a"));
    book.AddEntry(Contact("2", "b"));
    book.DeleteEntry(0);
    AddressBookEntry e;
    int p = book.NextEntry(-1, e);
    EXPECT_EQ(0, p);
    EXPECT_EQ('0', e.status);
    p = book.NextEntry(p, e);
    EXPECT_EQ(1, p);
    EXPECT_STREQ("2", e.serialNo);
    EXPECT_EQ(-1, book.NextEntry(p, e));
}

// Service replies, the contact windows and readers meet in the store; each
// change stays whole, positions are never handed out twice, and the file
// ends up matching memory.
TEST_F(AddressBookListTest, ConcurrentChangesKeepMemoryAndFileInStep) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            AddressBookEntry e;
            for (int p = book.NextEntry(-1, e); p >= 0; p = book.NextEntry(p, e)) {
                if (e.status == '1') {
                    ASSERT_NE('\0', e.serialNo[0]);
                }
            }
            std::string name;
            int pos, field;
            book.FindNameByNumber("v5", name, pos, field);
            book.SearchByName("n");
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const std::string serial = std::to_string(t * 1000 + i + 1);
                book.AddEntry(Contact(serial, "n" + serial, "", "v" + std::to_string(i)));
                if (i % 3 == 0) book.DeleteEntry(book.FindBySerial(t * 1000 + i + 1));
                if (i % 5 == 0) book.UpdateEntry(Contact(serial, "u" + serial));
            }
        });
    }
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();

    std::vector<std::string> memory;
    AddressBookEntry e;
    for (int p = book.NextEntry(-1, e); p >= 0; p = book.NextEntry(p, e)) memory.push_back(FormatAddressBookLine(e));
    Reload();
    std::vector<std::string> file;
    for (int p = book.NextEntry(-1, e); p >= 0; p = book.NextEntry(p, e)) file.push_back(FormatAddressBookLine(e));
    EXPECT_EQ(memory, file);
    int live = 0;
    for (const auto& l : file) live += l[0] == '1';
    EXPECT_EQ(2 * (40 - 14), live);
}

} // namespace
