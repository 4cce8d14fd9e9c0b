#include "contacts/AddressBookEntry.h"

#include <climits>
#include <cstring>

const EntryField kEntryFileOrder[kEntryFieldCount] = {
    &AddressBookEntry::serialNo,    &AddressBookEntry::name,      &AddressBookEntry::email,
    &AddressBookEntry::voip,        &AddressBookEntry::mobile,    &AddressBookEntry::home,
    &AddressBookEntry::business,    &AddressBookEntry::title,     &AddressBookEntry::firstName,
    &AddressBookEntry::middleName,  &AddressBookEntry::lastName,  &AddressBookEntry::altEmail,
    &AddressBookEntry::fax,         &AddressBookEntry::pager,     &AddressBookEntry::icq,
    &AddressBookEntry::website,     &AddressBookEntry::companyName, &AddressBookEntry::birthDate,
    &AddressBookEntry::comments,
};

namespace {
constexpr char kEsc = '\x1b';
} // namespace

void ClearEntry(AddressBookEntry& entry) { std::memset(&entry, 0, sizeof entry); }

void SetEntryField(char (&field)[kEntryFieldSize], std::string_view value) {
    size_t n = value.size();
    if (n > kEntryFieldSize - 1) n = kEntryFieldSize - 1;
    const void* zero = std::memchr(value.data(), '\0', n);
    if (zero) n = static_cast<size_t>(static_cast<const char*>(zero) - value.data());
    std::memcpy(field, value.data(), n);
    field[n] = '\0';
}

static std::string_view FieldText(const char (&field)[kEntryFieldSize]) {
    return std::string_view(field, strnlen(field, kEntryFieldSize));
}

std::string EntryDisplayName(const AddressBookEntry& entry) {
    std::string s(FieldText(entry.firstName));
    s += ' ';
    s += FieldText(entry.middleName);
    s += ' ';
    s += FieldText(entry.lastName);
    return s;
}

std::string EscapeEntryField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '|': out += kEsc; out += 'p'; break;
        case '\r': out += kEsc; out += 'r'; break;
        case '\n': out += kEsc; out += 'n'; break;
        case kEsc: out += kEsc; out += 'e'; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string UnescapeEntryField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == kEsc && i + 1 < text.size()) {
            char code = text[i + 1];
            char plain = code == 'p' ? '|' : code == 'r' ? '\r' : code == 'n' ? '\n' : code == 'e' ? kEsc : '\0';
            if (plain != '\0') {
                out += plain;
                ++i;
                continue;
            }
        }
        // Anything else, a lone ESC included, is taken as it stands.
        out += c;
    }
    return out;
}

std::string FormatAddressBookLine(const AddressBookEntry& entry) {
    std::string line(1, entry.status == '1' ? '1' : '0');
    for (EntryField f : kEntryFileOrder) {
        line += '|';
        line += EscapeEntryField(FieldText(entry.*f));
    }
    line += '|';
    return line;
}

int ParseAddressBookLine(std::string_view line, AddressBookEntry& entry) {
    ClearEntry(entry);
    entry.status = '0';
    if (line.empty()) return 0;
    const char status = line[0];
    // The status and the bar after it.
    size_t pos = 2;
    for (int i = 0; i < kEntryFieldCount; ++i) {
        if (pos > line.size()) return 0;
        size_t bar = line.find('|', pos);
        if (bar == std::string_view::npos) return 0; // cut short: keep the position as a free slot
        SetEntryField(entry.*kEntryFileOrder[i], UnescapeEntryField(line.substr(pos, bar - pos)));
        pos = bar + 1;
    }
    if (status != '1') return 0;
    entry.status = '1';
    return 1;
}

int ReadDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}
