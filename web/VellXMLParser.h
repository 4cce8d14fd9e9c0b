#pragma once
// Reader of the service's XML replies.
//
// This is deliberately not an XML parser: tags are found as exact byte
// strings in the text as received (no attributes, namespaces, entities,
// CDATA or nesting). A value is the text between the first occurrence of an
// opening tag, searched from a given position, and the first occurrence of
// the matching closing tag after it. The service's replies are made to this
// shape, and keeping exactly these rules keeps the values the same.
//
// One object reads one reply and is thrown away afterwards. When the reply
// carries an address book, ParseXMLData applies it to the address book.
#include <cstddef>
#include <string>

class CAddressBookList;

class CVellXMLParser {
public:
    // book: the address book that replies are applied to; null means the
    // process-wide one.
    explicit CVellXMLParser(CAddressBookList* book = nullptr);

    // Reads the envelope, keeps its fields, narrows the working text to the
    // content of <data>, picks out the known values and applies any address
    // book. Returns 1 when the envelope was read, -1 otherwise.
    int ParseXMLData(const std::string& reply);
    int ParseXMLData(const char* reply, size_t length);

    // Searches the working text from its start. Returns the length of the raw
    // content between the tags, or -1 when either tag is missing. The trimmed
    // content is copied into out (if given), cut to outSize - 1 bytes and
    // terminated.
    int GetNextTag(const char* openTag, const char* closeTag, char* out = nullptr, size_t outSize = 0);
    // Same, giving the trimmed content whole.
    int GetNextTag(const char* openTag, const char* closeTag, std::string& out);

    // Searches the working text from position. On success returns the raw
    // content length, leaves position just after the opening tag and puts
    // the trimmed content into out; on failure returns -1 and sets
    // position to -1.
    int GetTagData(int& position, const char* openTag, const char* closeTag, std::string& out);

    // Each empties its field(s) first, then takes the untrimmed content of
    // its tag(s) from the working text. Return the content length or -1.
    int FindBalance();
    int FindSerialNO();
    int FindVersionNo();

    // Applies an address book found in the working text. Returns the number
    // of entries applied, or -1 when there was no address book to apply.
    int UpdateAddressBook();

    const std::string& GetText() const { return m_text; }
    const std::string& GetTransId() const { return m_transId; }
    const std::string& GetStatus() const { return m_status; }
    const std::string& GetCode() const { return m_code; }
    const std::string& GetDesc() const { return m_desc; }
    const std::string& GetBalance() const { return m_balance; }
    const std::string& GetSerialNo() const { return m_serialNo; }
    const std::string& GetVersionNumber() const { return m_versionNumber; }
    const std::string& GetDownloadLink() const { return m_downloadLink; }

    // The code read as a decimal integer (0 or more: success).
    int GetCodeValue() const;

private:
    CAddressBookList& Book();

    CAddressBookList* m_book;

    std::string m_text;
    std::string m_transId;
    std::string m_status;
    std::string m_code;
    std::string m_desc;
    std::string m_balance;
    std::string m_serialNo;
    std::string m_versionNumber;
    std::string m_downloadLink;
};
