// Service replies: any bytes must be read without a crash, and any address
// book in them applied to an in-memory book (no file: nobody signed in).
#include "contacts/AddressBookList.h"
#include "contacts/AddressBookSettings.h"
#include "web/VellXMLParser.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class AcceptingSettings : public CAddressBookSettings {
public:
    int ReadIsFirstTime(int& value) override {
        value = 0;
        return 1;
    }
    int StoreLastCheckTS(const std::string&) override { return 1; }
};

// The list traces every appended node on standard output; keep that out of
// the fuzzer's own output.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        m_saved = ::dup(1);
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, 1);
            ::close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (m_saved >= 0) {
            ::dup2(m_saved, 1);
            ::close(m_saved);
        }
    }

private:
    int m_saved = -1;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static AcceptingSettings settings;
    static CAddressBookList book;
    book.SetSettings(&settings);
    book.Clear();

    QuietStdout quiet;
    CVellXMLParser parser(&book);
    const int result = parser.ParseXMLData(reinterpret_cast<const char*>(data), size);
    if (result != 1 && result != -1) std::abort();
    if (result == 1) {
        if (parser.GetText().size() > size) std::abort();
        if (parser.GetCode().size() > 255 || parser.GetDesc().size() > 255) std::abort();
        AddressBookEntry e;
        for (int p = book.NextEntry(-1, e); p >= 0; p = book.NextEntry(p, e))
            if (e.status != '1') std::abort(); // a reply only ever adds or updates
    }
    return 0;
}
