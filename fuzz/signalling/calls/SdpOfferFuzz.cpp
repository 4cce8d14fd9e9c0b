// Reads arbitrary text as a peer's SDP, chooses a codec against a full
// local table and writes the answer the phone would send.
#include "app/Logger.h"
#include "signalling/SdpCodecList.h"
#include "signalling/SdpOffer.h"
#include "signalling/SdpWriter.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (CLogger::SetLevel(0), true);
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);

    CodecInfo local[20] = {};
    int count = CSdpCodecList::Parse("0,8,97,100,101,102,103,", local, 19);
    std::snprintf(local[count].name, sizeof(local[count].name), "%s", "telephone-event");
    local[count].payload = 101;
    ++count;

    CSdpOffer offer;
    if (offer.Parse(text.c_str()) != CSdpOffer::READ_OK) return 0;
    if (offer.CodecCount() < 0 || offer.CodecCount() > CSdpOffer::MAX_CODECS) __builtin_trap();
    if (std::strlen(offer.RtpIp()) > 255 || std::strlen(offer.RtpPort()) > 255) __builtin_trap();

    int remoteIndex = -1;
    const int index = CSdpOffer::MatchCodec(offer.Codecs(), offer.CodecCount(), local, count, &remoteIndex);
    int eventRemote = -1;
    CSdpOffer::MatchTelephoneEvent(offer.Codecs(), offer.CodecCount(), local, count, &eventRemote);
    if (index < 0) return 0;
    if (index >= count || remoteIndex < 0 || remoteIndex >= offer.CodecCount()) __builtin_trap();

    char answer[1024];
    CSdpWriter::Write(answer, sizeof(answer), &offer.Codecs()[remoteIndex], 1, offer.RtpIp(), offer.RtpPort(),
                      "fuzz", 1, 2);
    return 0;
}
