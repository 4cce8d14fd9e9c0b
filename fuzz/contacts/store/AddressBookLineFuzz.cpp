// Address book file lines: whatever a line holds, reading it must stay in
// bounds, and a record read from it must be written and read back unchanged.
#include "contacts/AddressBookEntry.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    AddressBookEntry first;
    const int live = ParseAddressBookLine(line, first);
    if (live != 0 && live != 1) std::abort();
    if ((live == 1) != (first.status == '1')) std::abort();
    for (EntryField f : kEntryFileOrder)
        if (strnlen(first.*f, kEntryFieldSize) >= kEntryFieldSize) std::abort();

    const std::string written = FormatAddressBookLine(first);
    if (written.find_first_of("\r\n") != std::string::npos) std::abort();
    AddressBookEntry second;
    if (ParseAddressBookLine(written, second) != live) std::abort();
    if (std::memcmp(&first, &second, sizeof first) != 0) std::abort();

    if (UnescapeEntryField(EscapeEntryField(line)) != line) std::abort();
    (void)ReadDecimal(line);
    return 0;
}
