// The settings store's file parser: any bytes must parse or be refused
// without harm, and whatever parses must write back and parse to the same.
#include "platform/KeyValueStore.h"

#include <cstdlib>
#include <string>

using qf::platform::CKeyValueStore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<CKeyValueStore::Key> keys;
    if (!CKeyValueStore::Parse(text, keys)) return 0;
    const std::string again = CKeyValueStore::Serialise(keys);
    std::vector<CKeyValueStore::Key> back;
    if (!CKeyValueStore::Parse(again, back) || CKeyValueStore::Serialise(back) != again) std::abort();
    return 0;
}
