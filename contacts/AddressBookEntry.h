#pragma once
// One address book contact as it is kept in memory and in the address book
// file: a status character and nineteen text fields of 256 characters
// (255 characters and a terminating zero).
//
// The file keeps one entry per line:
//   status|serial|name|email|voip|mobile|home|business|title|first|middle|
//   last|altemail|fax|pager|icq|website|company|birthdate|comments|
// The bar is the separator, so a bar inside a field (the service may send
// one) and line breaks are written as two-character escapes introduced by
// the ESC control character (0x1B): ESC 'p' for "|", ESC 'r' for CR, ESC 'n'
// for LF and ESC 'e' for ESC itself. Files written before the escapes
// existed hold no ESC characters and read exactly as before.
#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t kEntryFieldSize = 256;

struct AddressBookEntry {
    char status;                       // '1' live, '0' free slot
    char name[kEntryFieldSize];        // a single blank when set by the contact window
    char email[kEntryFieldSize];
    char voip[kEntryFieldSize];        // VOIP number
    char mobile[kEntryFieldSize];
    char home[kEntryFieldSize];
    char business[kEntryFieldSize];
    char serialNo[kEntryFieldSize];    // decimal text assigned by the service
    char title[kEntryFieldSize];
    char firstName[kEntryFieldSize];
    char middleName[kEntryFieldSize];
    char lastName[kEntryFieldSize];
    char birthDate[kEntryFieldSize];   // "yyyy-mm-dd" or a single blank
    char companyName[kEntryFieldSize];
    char altEmail[kEntryFieldSize];
    char fax[kEntryFieldSize];
    char pager[kEntryFieldSize];
    char icq[kEntryFieldSize];
    char website[kEntryFieldSize];
    char comments[kEntryFieldSize];    // single line
};

using EntryField = char (AddressBookEntry::*)[kEntryFieldSize];

// Number of text fields of an entry.
constexpr int kEntryFieldCount = 19;

// The fields in the order of the address book file.
extern const EntryField kEntryFileOrder[kEntryFieldCount];

// Zeroes the whole record (status included).
void ClearEntry(AddressBookEntry& entry);

// Copies text into a field, cut to 255 bytes (and at a zero byte).
void SetEntryField(char (&field)[kEntryFieldSize], std::string_view value);

// First name, a blank, middle name, a blank, last name (untrimmed).
std::string EntryDisplayName(const AddressBookEntry& entry);

// The entry's value for the address book file (see above).
std::string FormatAddressBookLine(const AddressBookEntry& entry);

// Reads a file value into a cleared record. Returns 1 when the record is a
// complete live entry, 0 when it is kept as a free slot (status other than
// '1', or a line that ends before all nineteen fields and their bars).
int ParseAddressBookLine(std::string_view line, AddressBookEntry& entry);

// Escaping of single field texts, exposed for the tests.
std::string EscapeEntryField(std::string_view text);
std::string UnescapeEntryField(std::string_view text);

// A decimal number as the old C library read it: leading blanks, an
// optional sign, digits up to the first non-digit; 0 when there are none.
// Values beyond the int range are held at its ends.
int ReadDecimal(std::string_view text);
