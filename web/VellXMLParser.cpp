#include "web/VellXMLParser.h"

#include "app/Trace.h"
#include "contacts/AddressBookEntry.h"
#include "contacts/AddressBookList.h"
#include "contacts/AddressBookSettings.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

// Envelope values are kept in buffers of this size (255 bytes and a zero).
constexpr size_t kValueBufferSize = 256;

struct EntryTag {
    const char* open;
    const char* close;
    EntryField field;
};

// The order in which an <entry> must list its elements.
const EntryTag kEntryTags[kEntryFieldCount] = {
    {"<sno>", "</sno>", &AddressBookEntry::serialNo},
    {"<name>", "</name>", &AddressBookEntry::name},
    {"<email>", "</email>", &AddressBookEntry::email},
    {"<voip>", "</voip>", &AddressBookEntry::voip},
    {"<mobile>", "</mobile>", &AddressBookEntry::mobile},
    {"<home>", "</home>", &AddressBookEntry::home},
    {"<business>", "</business>", &AddressBookEntry::business},
    {"<title>", "</title>", &AddressBookEntry::title},
    {"<firstname>", "</firstname>", &AddressBookEntry::firstName},
    {"<middlename>", "</middlename>", &AddressBookEntry::middleName},
    {"<lastname>", "</lastname>", &AddressBookEntry::lastName},
    {"<birthdate>", "</birthdate>", &AddressBookEntry::birthDate},
    {"<companyname>", "</companyname>", &AddressBookEntry::companyName},
    {"<altemail>", "</altemail>", &AddressBookEntry::altEmail},
    {"<fax>", "</fax>", &AddressBookEntry::fax},
    {"<pager>", "</pager>", &AddressBookEntry::pager},
    {"<icq>", "</icq>", &AddressBookEntry::icq},
    {"<website>", "</website>", &AddressBookEntry::website},
    {"<comments>", "</comments>", &AddressBookEntry::comments},
};

bool IsWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string TrimmedCopy(const std::string& text, size_t begin, size_t end) {
    while (begin < end && IsWhite(text[begin])) ++begin;
    while (end > begin && IsWhite(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// text.find(tag, from), remembering the last answer per tag. The fields of
// an entry are searched without a bound at its end, so in a hostile reply
// every entry could search to the end of the text again; an answer found
// from an earlier position stays right for any later position up to it,
// which keeps the walk linear without changing what is found.
class TagFinder {
public:
    explicit TagFinder(const std::string& text) : m_text(text) {}
    size_t Find(const char* tag, size_t from) {
        Memo& m = m_memo[tag];
        if (m.valid && m.from <= from && (m.at == std::string::npos || from <= m.at)) return m.at;
        m.valid = true;
        m.from = from;
        m.at = m_text.find(tag, from);
        return m.at;
    }

private:
    struct Memo {
        bool valid = false;
        size_t from = 0;
        size_t at = std::string::npos;
    };
    const std::string& m_text;
    std::unordered_map<const char*, Memo> m_memo;
};

// Finds openTag from position and closeTag after it. Returns the raw
// content length and sets begin/end of the content, or -1.
long FindTagPair(const std::string& text, size_t position, const char* openTag, const char* closeTag, size_t& begin,
                 size_t& end, TagFinder* finder) {
    if (position > text.size()) return -1;
    size_t open = finder ? finder->Find(openTag, position) : text.find(openTag, position);
    if (open == std::string::npos) return -1;
    begin = open + std::strlen(openTag);
    end = finder ? finder->Find(closeTag, begin) : text.find(closeTag, begin);
    if (end == std::string::npos) return -1;
    return static_cast<long>(end - begin);
}

long TagData(const std::string& text, int& position, const char* openTag, const char* closeTag, std::string& out,
             TagFinder* finder) {
    size_t begin = 0, end = 0;
    long len = position < 0 ? -1
                            : FindTagPair(text, static_cast<size_t>(position), openTag, closeTag, begin, end, finder);
    if (len < 0) {
        position = -1;
        return -1;
    }
    position = static_cast<int>(begin);
    out = TrimmedCopy(text, begin, end);
    return len;
}

} // namespace

CVellXMLParser::CVellXMLParser(CAddressBookList* book) : m_book(book) {}

CAddressBookList& CVellXMLParser::Book() { return m_book ? *m_book : CAddressBookList::Instance(); }

int CVellXMLParser::GetCodeValue() const { return ReadDecimal(m_code); }

int CVellXMLParser::GetNextTag(const char* openTag, const char* closeTag, char* out, size_t outSize) {
    QF_TRACE("CVellXMLParser::GetNextTag");
    size_t begin = 0, end = 0;
    long len = FindTagPair(m_text, 0, openTag, closeTag, begin, end, nullptr);
    if (len < 0) return -1;
    if (out && outSize > 0) {
        std::string value = TrimmedCopy(m_text, begin, end);
        size_t n = value.size() < outSize - 1 ? value.size() : outSize - 1;
        // Copied as text: a zero byte ends it.
        const void* zero = std::memchr(value.data(), '\0', n);
        if (zero) n = static_cast<size_t>(static_cast<const char*>(zero) - value.data());
        std::memcpy(out, value.data(), n);
        out[n] = '\0';
    }
    QF_LEAVE();
    return static_cast<int>(len);
}

int CVellXMLParser::GetNextTag(const char* openTag, const char* closeTag, std::string& out) {
    QF_TRACE("CVellXMLParser::GetNextTag");
    size_t begin = 0, end = 0;
    long len = FindTagPair(m_text, 0, openTag, closeTag, begin, end, nullptr);
    if (len < 0) return -1;
    out = TrimmedCopy(m_text, begin, end);
    QF_LEAVE();
    return static_cast<int>(len);
}

int CVellXMLParser::GetTagData(int& position, const char* openTag, const char* closeTag, std::string& out) {
    QF_TRACE("CVellXMLParser::GetTagData");
    long len = TagData(m_text, position, openTag, closeTag, out, nullptr);
    if (len < 0) return -1;
    QF_LEAVE();
    return static_cast<int>(len);
}

int CVellXMLParser::ParseXMLData(const std::string& reply) { return ParseXMLData(reply.data(), reply.size()); }

int CVellXMLParser::ParseXMLData(const char* reply, size_t length) {
    QF_TRACE("CVellXMLParser::ParseXMLData");
    // Positions are ints throughout; nothing near that size is a reply.
    if (!reply || length >= static_cast<size_t>(INT_MAX)) {
        QF_LOG_ERROR("Unable to find %s %s tag", "<result>", "</result>");
        return -1;
    }
    try {
        m_text.assign(reply, length);
    } catch (const std::bad_alloc&) {
        QF_LOG_ERROR("Unable to allocate memory");
        return -1;
    }

    if (GetNextTag("<result>", "</result>") < 0) {
        QF_LOG_ERROR("Unable to find %s %s tag", "<result>", "</result>");
        return -1;
    }
    struct {
        const char* open;
        const char* close;
        std::string* field;
    } envelope[] = {
        {"<transId>", "</transId>", &m_transId},
        {"<status>", "</status>", &m_status},
        {"<code>", "</code>", &m_code},
        {"<desc>", "</desc>", &m_desc},
    };
    for (auto& e : envelope) {
        char buffer[kValueBufferSize];
        if (GetNextTag(e.open, e.close, buffer, sizeof buffer) < 0) {
            QF_LOG_ERROR("Unable to find %s %s tag", e.open, e.close);
            return -1;
        }
        *e.field = buffer;
    }

    if (GetNextTag("<data>", "</data>") < 0) {
        QF_LOG_ERROR("Unable to find %s %s tag", "<data>", "</data>");
        return -1;
    }
    try {
        std::string data;
        GetNextTag("<data>", "</data>", data);
        m_text = std::move(data);
    } catch (const std::bad_alloc&) {
        QF_LOG_ERROR("Unable to allocate memory");
        return -1;
    }

    FindSerialNO();
    FindVersionNo();
    FindBalance();
    UpdateAddressBook();
    QF_LEAVE();
    return 1;
}

int CVellXMLParser::FindBalance() {
    QF_TRACE("CVellXMLParser::FindBalance");
    m_balance.clear();
    size_t begin = 0, end = 0;
    long len = FindTagPair(m_text, 0, "<balance>", "</balance>", begin, end, nullptr);
    if (len < 0) return -1;
    m_balance.assign(m_text, begin, end - begin);
    QF_LEAVE();
    return static_cast<int>(len);
}

int CVellXMLParser::FindSerialNO() {
    QF_TRACE("CVellXMLParser::FindSerialNO");
    m_serialNo.clear();
    size_t begin = 0, end = 0;
    long len = FindTagPair(m_text, 0, "<sno>", "</sno>", begin, end, nullptr);
    if (len < 0) return -1;
    m_serialNo.assign(m_text, begin, end - begin);
    QF_LEAVE();
    return static_cast<int>(len);
}

int CVellXMLParser::FindVersionNo() {
    QF_TRACE("CVellXMLParser::FindVersionNo");
    m_versionNumber.clear();
    m_downloadLink.clear();
    size_t begin = 0, end = 0;
    long len = FindTagPair(m_text, 0, "<versionnumber>", "</versionnumber>", begin, end, nullptr);
    if (len < 0) return -1;
    m_versionNumber.assign(m_text, begin, end - begin);
    // The link is looked for after the version, from its closing tag on.
    size_t linkBegin = 0, linkEnd = 0;
    if (FindTagPair(m_text, end, "<downloadlink>", "</downloadlink>", linkBegin, linkEnd, nullptr) < 0) return -1;
    m_downloadLink.assign(m_text, linkBegin, linkEnd - linkBegin);
    QF_LEAVE();
    return static_cast<int>(len);
}

int CVellXMLParser::UpdateAddressBook() {
    QF_TRACE("CVellXMLParser::UpdateAddressBook");
    std::string timestamp;
    int position = 0;
    if (GetTagData(position, "<timestamp>", "</timestamp>", timestamp) < 0) return -1;

    static const char kBookOpen[] = "<addressbook>";
    const size_t bookOpen = m_text.find(kBookOpen, static_cast<size_t>(position));
    if (bookOpen == std::string::npos) return -1;
    const size_t bookBody = bookOpen + sizeof kBookOpen - 1;
    if (m_text.find("</addressbook>", bookBody) == std::string::npos) return -1;

    CAddressBookList& book = Book();
    CAddressBookSettings* settings = book.GetSettings();
    if (!settings || settings->StoreLastCheckTS(timestamp) < 0) {
        QF_LOG_ERROR("Unable to store last check time stamp");
        return -1;
    }

    // All entries of one reply go to the file in one rewrite.
    CAddressBookList::Batch batch(book);
    TagFinder finder(m_text);
    const bool complete = GetCodeValue() == 1001;
    bool first = true;
    int applied = 0;
    size_t cursor = bookBody;
    for (;;) {
        const size_t entryOpen = finder.Find("<entry>", cursor);
        if (entryOpen == std::string::npos) break;
        const size_t entryBody = entryOpen + std::strlen("<entry>");
        const size_t entryClose = finder.Find("</entry>", entryBody);
        if (entryClose == std::string::npos) break;
        if (first) {
            first = false;
            // A complete address book replaces whatever is kept locally.
            if (complete) book.ReplaceAll();
        }

        AddressBookEntry entry;
        ClearEntry(entry);
        int fieldPos = static_cast<int>(entryBody);
        for (const EntryTag& tag : kEntryTags) {
            std::string value;
            if (TagData(m_text, fieldPos, tag.open, tag.close, value, &finder) < 0) {
                QF_LOG_ERROR("Unable to find %s %s tag", tag.open, tag.close);
                QF_LEAVE();
                return applied;
            }
            SetEntryField(entry.*tag.field, value);
        }

        const int serial = ReadDecimal(entry.serialNo);
        if (book.FindBySerial(serial) >= 0)
            book.UpdateEntry(entry);
        else
            book.AddEntry(entry);
        ++applied;
        cursor = entryClose;
    }
    QF_LOG_DEBUG("Applied %d address book entries", applied);
    QF_LEAVE();
    return applied;
}
