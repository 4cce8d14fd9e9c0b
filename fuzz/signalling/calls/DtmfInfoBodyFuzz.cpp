// Reads arbitrary bytes as the body of an INFO request.
#include "app/Logger.h"
#include "signalling/ua/DtmfInfoBody.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (CLogger::SetLevel(0), true);
    (void)quiet;
    int signal = 0;
    int duration = 0;
    const int found = CDtmfInfoBody::Read(reinterpret_cast<const char*>(data), size, &signal, &duration);
    if (!found && signal != CDtmfInfoBody::NO_SIGNAL) __builtin_trap();
    return 0;
}
