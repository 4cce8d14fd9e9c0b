// The portable settings file: its text as hex ciphertext, and the
// deciphered text as tags. Neither may crash on any input.
#include "app/EncryptDecrypt.h"
#include "app/HexText.h"
#include "app/VellFileHelper.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<unsigned char> bytes = CHexText::HexStringToBytes(text);
    CEncryptDecrypt cipher;
    std::string plain;
    if (cipher.Decrypt(bytes, CEncryptDecrypt::kSettingsFileKey, plain) == 0 && plain.size() > bytes.size() / 4)
        std::abort();

    PortableSettings record;
    VellFileHelper helper(record);
    if (helper.ParseSettings(text) == 1) {
        // Every text value was trimmed and cut to the reader's buffer.
        for (const std::string* s : {&record.AppPath, &record.UserName, &record.SMSServerPort})
            if (s->size() > 254) std::abort();
    }
    return 0;
}
