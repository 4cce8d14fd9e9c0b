#include "signalling/SdpOffer.h"

#include "app/Trace.h"
#include "signalling/SdpCodecList.h"

#include <osipparser2/osip_port.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <vector>

namespace {

constexpr size_t kParsePadding = 64;

// Reads a decimal number at the start of text (leading blanks allowed) and
// stores where it ended. 0 when there are no digits or it is out of range.
int ReadNumber(const char* text, long maxValue, long* value, const char** end = nullptr) {
    if (text == nullptr) return 0;
    while (*text == ' ' || *text == '\t') ++text;
    if (!std::isdigit(static_cast<unsigned char>(*text))) return 0;
    errno = 0;
    char* stop = nullptr;
    const long v = std::strtol(text, &stop, 10);
    if (errno == ERANGE || v < 0 || v > maxValue) return 0;
    *value = v;
    if (end) *end = stop;
    return 1;
}

void CopyText(char* dst, size_t size, const char* src, size_t len) {
    if (len > size - 1) len = size - 1;
    std::memcpy(dst, src, len);
    dst[len] = '\0';
}

} // namespace

CSdpOffer::CSdpOffer() { Clear(); }

void CSdpOffer::Clear() {
    std::memset(m_rtpIp, 0, sizeof(m_rtpIp));
    std::memset(m_rtpPort, 0, sizeof(m_rtpPort));
    std::memset(m_codecs, 0, sizeof(m_codecs));
    m_ptime = 0;
    m_codecCount = 0;
}

int CSdpOffer::Parse(const char* text) {
    QF_TRACE("CSdpOffer::Parse");
    Clear();
    if (text == nullptr || *text == '\0') {
        QF_LOG_ERROR("Unable to get remote SDP");
        return READ_NO_SDP;
    }
    sdp_message_t* sdp = nullptr;
    if (sdp_message_init(&sdp) != 0 || sdp == nullptr) {
        QF_LOG_ERROR("Unable to get remote SDP");
        return READ_NO_SDP;
    }
    // libosip2's SDP parser steps over a line end it assumes to be two
    // characters: a line ending in a lone CR or LF at the very end of the
    // text (an m= line without payloads, for one) makes it read past the
    // terminator. Zero padding keeps every such read inside our buffer.
    const size_t len = std::strlen(text);
    std::vector<char> padded(len + kParsePadding, '\0');
    std::memcpy(padded.data(), text, len);
    if (sdp_message_parse(sdp, padded.data()) != 0) {
        sdp_message_free(sdp);
        QF_LOG_ERROR("Unable to get remote SDP");
        return READ_NO_SDP;
    }
    const int result = Read(sdp);
    sdp_message_free(sdp);
    QF_LEAVE();
    return result;
}

int CSdpOffer::Read(sdp_message_t* sdp) {
    QF_TRACE("CSdpOffer::Read");
    Clear();
    if (sdp == nullptr) {
        QF_LOG_ERROR("Unable to get remote SDP");
        return READ_NO_SDP;
    }

    // The first audio media, as the dialog's stream.
    sdp_media_t* media = nullptr;
    int pos = 0;
    for (; !osip_list_eol(&sdp->m_medias, pos); ++pos) {
        auto* m = static_cast<sdp_media_t*>(osip_list_get(&sdp->m_medias, pos));
        if (m != nullptr && m->m_media != nullptr && osip_strcasecmp(m->m_media, "audio") == 0) {
            media = m;
            break;
        }
    }
    if (media == nullptr) {
        QF_LOG_ERROR("Unable to get remote audio");
        return READ_NO_AUDIO;
    }
    long port = 0;
    const char* portEnd = nullptr;
    if (!ReadNumber(media->m_port, 65535, &port, &portEnd) || *portEnd != '\0' || port == 0) {
        // Port 0 is a refused stream; anything else here is not a port.
        QF_LOG_ERROR("Invalid remote media port %s", media->m_port ? media->m_port : "(none)");
        QF_LOG_ERROR("Unable to get remote audio");
        return READ_NO_AUDIO;
    }

    // A connection line of the audio media itself overrides the session's.
    const char* address = nullptr;
    auto* mediaConn = static_cast<sdp_connection_t*>(osip_list_get(&media->c_connections, 0));
    if (mediaConn != nullptr && mediaConn->c_addr != nullptr && *mediaConn->c_addr != '\0') {
        address = mediaConn->c_addr;
    } else if (sdp->c_connection != nullptr && sdp->c_connection->c_addr != nullptr &&
               *sdp->c_connection->c_addr != '\0') {
        address = sdp->c_connection->c_addr;
    }
    if (address == nullptr) {
        QF_LOG_ERROR("Unable to get remote address");
        return READ_NO_ADDRESS;
    }
    CopyText(m_rtpPort, sizeof(m_rtpPort), media->m_port, std::strlen(media->m_port));
    CopyText(m_rtpIp, sizeof(m_rtpIp), address, std::strlen(address));
    QF_LOG_DEBUG("Remote media IP %s Remote Media Port %s", m_rtpIp, m_rtpPort);

    ReadPayloads(media);
    LogCodecs("Codec list after Preprocessing ", "------------------------");
    ReadAttributes(media);
    LogCodecs("Codecs Offered", "========================");
    QF_LEAVE();
    return READ_OK;
}

void CSdpOffer::ReadPayloads(sdp_media_t* media) {
    QF_TRACE("CSdpOffer::ReadPayloads");
    QF_LOG_DEBUG("Get payload of codecs offered by calling party");
    int index = 0;
    for (;; ++index) {
        if (osip_list_eol(&media->m_payloads, index)) {
            QF_LOG_DEBUG("Payload list finished at index %d", index);
            break;
        }
        if (m_codecCount >= MAX_CODECS) {
            QF_LOG_DEBUG("Max pay load reached");
            break;
        }
        const auto* text = static_cast<const char*>(osip_list_get(&media->m_payloads, index));
        long payload = 0;
        const char* end = nullptr;
        if (!ReadNumber(text, 127, &payload, &end) || *end != '\0') {
            // Not an RTP payload type: reading it as a number would turn
            // junk into PCMU.
            QF_LOG_ERROR("Invalid payload %s skipped", text ? text : "(null)");
            continue;
        }
        CodecInfo& entry = m_codecs[m_codecCount++];
        entry.payload = static_cast<uint8_t>(payload);
        if (!CSdpCodecList::NameStaticPayload(entry)) {
            QF_LOG_DEBUG("Currently this codec is not pre processed %d", entry.payload);
        }
    }
    QF_LOG_DEBUG("Total Codec Offered %d", m_codecCount);
    QF_LEAVE();
}

void CSdpOffer::ReadAttributes(sdp_media_t* media) {
    QF_TRACE("CSdpOffer::ReadAttributes");
    QF_LOG_DEBUG("get detail of codecs offered by calling party");
    int index = 0;
    for (;; ++index) {
        if (osip_list_eol(&media->a_attributes, index)) {
            QF_LOG_DEBUG("No more SDP attributes. Index = %d", index);
            break;
        }
        if (index >= MAX_ATTRIBUTES) {
            QF_LOG_DEBUG("Max pay load reached");
            break;
        }
        auto* attr = static_cast<sdp_attribute_t*>(osip_list_get(&media->a_attributes, index));
        if (attr == nullptr || attr->a_att_field == nullptr) continue;
        const char* field = attr->a_att_field;
        const char* value = attr->a_att_value;
        if (std::strcmp(field, "rtpmap") == 0) {
            ReadRtpmap(value);
        } else if (std::strcmp(field, "fmtp") == 0) {
            ReadFmtp(value);
        } else if (std::strcmp(field, "ptime") == 0) {
            ReadPtime(value);
        }
    }
    QF_LEAVE();
}

CodecInfo* CSdpOffer::FindPayload(long payload) {
    for (int i = 0; i < m_codecCount; ++i) {
        if (m_codecs[i].payload == payload) return &m_codecs[i];
    }
    return nullptr;
}

void CSdpOffer::ReadRtpmap(const char* value) {
    QF_TRACE("CSdpOffer::ReadRtpmap");
    // "<payload> <name>/<clock rate>[/<channels>]"
    const char* space = value ? std::strchr(value, ' ') : nullptr;
    const char* slash = space ? std::strchr(space, '/') : nullptr;
    long payload = 0;
    const char* payloadEnd = nullptr;
    long clockRate = 0;
    if (value == nullptr || space == nullptr || slash == nullptr || std::strchr(value, '/') < space ||
        slash == space + 1 || !ReadNumber(value, 127, &payload, &payloadEnd) || payloadEnd != space ||
        !ReadNumber(slash + 1, INT_MAX, &clockRate)) {
        QF_LOG_ERROR("Invalid SDP attribute %s", value ? value : "(null)");
        return;
    }
    CodecInfo* entry = FindPayload(payload);
    if (entry == nullptr) {
        QF_LOG_DEBUG("No offered payload %ld for rtpmap", payload);
        return;
    }
    CopyText(entry->name, sizeof(entry->name), space + 1, static_cast<size_t>(slash - (space + 1)));
    entry->clockRate = static_cast<int32_t>(clockRate);
    QF_LEAVE();
}

void CSdpOffer::ReadFmtp(const char* value) {
    QF_TRACE("CSdpOffer::ReadFmtp");
    // "<payload> <format parameters>"
    const char* space = value ? std::strrchr(value, ' ') : nullptr;
    long payload = 0;
    if (value == nullptr || space == nullptr || !ReadNumber(value, 127, &payload)) {
        QF_LOG_ERROR("Invalid SDP attribute %s", value ? value : "(null)");
        return;
    }
    if (std::strstr(value, "mode") != nullptr) {
        // "97 mode=30"; a "mode=" among other parameters is the one we want.
        const char* modeAt = std::strstr(value, "mode=");
        const char* equals = modeAt ? modeAt + 4 : std::strchr(value, '=');
        long mode = 0;
        if (equals == nullptr || !ReadNumber(equals + 1, 1000, &mode)) {
            QF_LOG_ERROR("Invalid SDP attribute %s", value);
            return;
        }
        CodecInfo* entry = FindPayload(payload);
        if (entry != nullptr) entry->mode = static_cast<int32_t>(mode);
    } else {
        CodecInfo* entry = FindPayload(payload);
        const char* params = std::strchr(value, ' ') + 1;
        if (entry != nullptr) CopyText(entry->params, sizeof(entry->params), params, std::strlen(params));
    }
    QF_LEAVE();
}

void CSdpOffer::ReadPtime(const char* value) {
    QF_TRACE("CSdpOffer::ReadPtime");
    QF_LOG_DEBUG("ptime value found in sdp attribute[%s]", value ? value : "");
    long ptime = 0;
    if (!ReadNumber(value, MAX_PTIME, &ptime)) {
        QF_LOG_ERROR("Invalid SDP attribute %s", value ? value : "(null)");
        return;
    }
    m_ptime = static_cast<int>(ptime);
    QF_LOG_DEBUG("Processed ptime[%d]", m_ptime);
    QF_LEAVE();
}

void CSdpOffer::LogCodecs(const char* heading, const char* separator) const {
    QF_TRACE("CSdpOffer::LogCodecs");
    QF_LOG_DEBUG("%s", heading);
    for (int i = 0; i < m_codecCount; ++i) {
        QF_LOG_DEBUG("%s", separator);
        QF_LOG_DEBUG("Coded Name = %s", m_codecs[i].name);
        QF_LOG_DEBUG("Payload = %d", m_codecs[i].payload);
        QF_LOG_DEBUG("Frequency = %d", m_codecs[i].clockRate);
        QF_LOG_DEBUG("Mode = %d", m_codecs[i].mode);
    }
    QF_LEAVE();
}

int CSdpOffer::MatchCodec(CodecInfo* remote, int remoteCount, const CodecInfo* local, int localCount,
                          int* remoteIndex) {
    QF_TRACE("CSdpOffer::MatchCodec");
    if (remote == nullptr || local == nullptr) return -1;
    for (int r = 0; r < remoteCount; ++r) {
        CodecInfo& offered = remote[r];
        if (offered.name[0] == '\0') continue;
        const bool ilbc = strcasecmp(offered.name, "iLBC") == 0;
        if (ilbc && offered.mode == 0) offered.mode = 30; // the iLBC default frame length
        for (int l = 0; l < localCount; ++l) {
            if (local[l].name[0] == '\0' || strcasecmp(offered.name, local[l].name) != 0) continue;
            if (ilbc && offered.mode != local[l].mode) continue;
            if (remoteIndex) *remoteIndex = r;
            QF_LOG_DEBUG("Codec match at remote index %d local index %d", r, l);
            QF_LEAVE();
            return l;
        }
    }
    QF_LOG_WARNING("No matching codec found");
    QF_LEAVE();
    return -1;
}

int CSdpOffer::MatchTelephoneEvent(const CodecInfo* remote, int remoteCount, const CodecInfo* local,
                                   int localCount, int* remoteIndex) {
    QF_TRACE("CSdpOffer::MatchTelephoneEvent");
    if (remote == nullptr || local == nullptr) return -1;
    for (int r = 0; r < remoteCount; ++r) {
        if (strcasecmp(remote[r].name, "telephone-event") != 0) continue;
        for (int l = 0; l < localCount; ++l) {
            if (strcasecmp(remote[r].name, local[l].name) != 0) continue;
            QF_LOG_DEBUG("Telephone Event Match at B Index[%d] Our Index [%d]", r, l);
            if (remoteIndex) *remoteIndex = r;
            QF_LEAVE();
            return l;
        }
    }
    QF_LEAVE();
    return -1;
}
