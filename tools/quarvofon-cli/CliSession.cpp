#include "tools/quarvofon-cli/CliSession.h"

#include "signalling/SdpCodecList.h"
#include "signalling/VellSipStack.h"

#include <cstdio>
#include <cstring>

CCliSession::CCliSession(const CliOptions& options) : m_options(options), m_codecs{}, m_codecCount(0) {
    memset(&m_lastCall, 0, sizeof m_lastCall);
    memset(&m_mediaCall, 0, sizeof m_mediaCall);
    if (m_options.displayName.empty()) m_options.displayName = m_options.user;
}

CCliSession::~CCliSession() { Stop(); }

int CCliSession::Start() {
    if (!m_options.micFile.empty() || !m_options.speakerFile.empty()) {
        m_media = std::make_unique<VECallMedia>();
        const int rc = m_media->Init({m_options.micFile, m_options.speakerFile, m_options.rtpPort});
        Print("voice init " + std::to_string(rc) + (rc == 1 ? "" : " \"" + m_media->LastMessage() + "\""));
        if (rc != 1) return rc;
    }
    m_codecCount = CSdpCodecList::Parse(m_options.codecs.c_str(), m_codecs, kMaxCodecs);
    m_protocol = std::make_unique<CVellSipStack>();
    return m_protocol->Init(m_options.server.c_str(), m_options.server.c_str(), m_options.port.c_str(),
                            &CCliSession::EventCallback, reinterpret_cast<CquarvoFONDlg*>(this),
                            m_options.sipLogFile.empty() ? nullptr : m_options.sipLogFile.c_str(), m_codecs,
                            m_codecCount, m_options.userAgent.c_str(), m_options.localSipPort);
}

void CCliSession::Stop() {
    m_protocol.reset();
    if (m_media) m_media->Terminate();  // after the protocol, as the phone does
}

SipData CCliSession::LastCall() {
    std::lock_guard<std::mutex> lock(m_callLock);
    return m_lastCall;
}

void CCliSession::Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_outputLock);
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int CCliSession::EventCallback(int status, CquarvoFONDlg* owner, SipData* data) {
    reinterpret_cast<CCliSession*>(owner)->OnEvent(status, data);
    return 0;
}

void CCliSession::OnEvent(int status, SipData* data) {
    if (data) {
        std::lock_guard<std::mutex> lock(m_callLock);
        m_lastCall = *data;
    }
    Print(FormatEvent(status, data));
    if (m_media) FollowCall(status, data);
}

void CCliSession::EndCallMedia() {
    if (m_media && m_media->InCall()) {
        m_media->StopCall();
        Print("voice stop");
    }
}

// Channel 0 follows the call as the phone's window drives it: media starts
// when a call is answered or acknowledged and stops when it ends.
void CCliSession::FollowCall(int status, const SipData* data) {
    if (data && data->codecName[0] && data->rtpIp[0]) m_mediaCall = *data;
    switch (status) {
    case VellSS_STATUS_OUTGOING_CALL_ANSWERED:
    case VellSS_STATUS_CALL_ACK: {
        const int rc = m_media->StartCall(m_mediaCall.codecName, m_mediaCall.codecPayload, m_mediaCall.rtpIp,
                                          m_mediaCall.rtpPort);
        Print("voice start " + std::to_string(rc) + (rc == 1 ? "" : " \"" + m_media->LastMessage() + "\""));
        break;
    }
    case VellSS_STATUS_CALL_CLOSED:
    case VellSS_STATUS_CALL_RELEASED:
    case VellSS_STATUS_CALL_CANCELLED:
    case VellSS_STATUS_CALL_TIMEOUT:
    case VellSS_STATUS_CALL_NOANSWER:
    case VellSS_STATUS_CALL_REQUESTFAILURE:
    case VellSS_STATUS_CALL_SERVERFAILURE:
    case VellSS_STATUS_CALL_GLOBALFAILURE:
        EndCallMedia();
        break;
    default:
        break;
    }
}

const char* CCliSession::StatusName(int status) {
    switch (status) {
    case VellSS_STATUS_REGISTRATION_SUCCESSFUL: return "REGISTRATION_SUCCESSFUL";
    case VellSS_STATUS_REGISTRATION_FAILURE: return "REGISTRATION_FAILURE";
    case VellSS_STATUS_REGISTRATION_TIMEOUT: return "REGISTRATION_TIMEOUT";
    case VellSS_STATUS_INCOMING_CALL: return "INCOMING_CALL";
    case VellSS_STATUS_CALL_NOANSWER: return "CALL_NOANSWER";
    case VellSS_STATUS_CALL_PROCEEDING: return "CALL_PROCEEDING";
    case VellSS_STATUS_CALL_RINGING: return "CALL_RINGING";
    case VellSS_STATUS_OUTGOING_CALL_ANSWERED: return "OUTGOING_CALL_ANSWERED";
    case VellSS_STATUS_CALL_REDIRECTED: return "CALL_REDIRECTED";
    case VellSS_STATUS_CALL_REQUESTFAILURE: return "CALL_REQUESTFAILURE";
    case VellSS_STATUS_CALL_SERVERFAILURE: return "CALL_SERVERFAILURE";
    case VellSS_STATUS_CALL_GLOBALFAILURE: return "CALL_GLOBALFAILURE";
    case VellSS_STATUS_CALL_ACK: return "CALL_ACK";
    case VellSS_STATUS_CALL_CANCELLED: return "CALL_CANCELLED";
    case VellSS_STATUS_CALL_TIMEOUT: return "CALL_TIMEOUT";
    case VellSS_STATUS_CALL_CLOSED: return "CALL_CLOSED";
    case VellSS_STATUS_CALL_RELEASED: return "CALL_RELEASED";
    case VellSS_STATUS_INFO_MESSAGE: return "INFO_MESSAGE";
    case VellSS_STATUS_CALL_MESSAGE_REQUESTFAILURE: return "CALL_MESSAGE_REQUESTFAILURE";
    case VellSS_STATUS_OTHER_SIP_MESSAGE: return "OTHER_SIP_MESSAGE";
    case VellSS_STATUS_TIMESTAMP: return "TIMESTAMP";
    case VellSS_STATUS_INVITE_RESULT: return "INVITE_RESULT";
    case VellSS_STATUS_LOGOUT: return "LOGOUT";
    default: return status < 0 ? "ERROR" : "UNKNOWN";
    }
}

std::string CCliSession::FormatEvent(int status, const SipData* data) {
    SipData empty;
    memset(&empty, 0, sizeof empty);
    const SipData& d = data ? *data : empty;
    // The reason is quoted; quotes and control characters in it become '_'
    // so that one event stays one parsable line.
    std::string reason;
    for (const char* p = d.responseMessage; *p && p < d.responseMessage + sizeof d.responseMessage; ++p)
        reason += (static_cast<unsigned char>(*p) < 0x20 || *p == '"') ? '_' : *p;
    char line[512];
    snprintf(line, sizeof line, "event %d %s cid=%d did=%d tid=%d code=%d reason=\"%s\"", status, StatusName(status),
             d.cid, d.did, d.tid, d.statusCode, reason.c_str());
    // Call events add the call's media: codec=<name>/<payload>/<rate>
    // rtp=<ip>:<port> dtmf=<signal>/<duration>; blanks in peer-given texts
    // become '_'.
    if (data == nullptr) return line;
    auto word = [](const char* text, size_t size) {
        std::string out;
        for (const char* p = text; p < text + size && *p; ++p)
            out += (static_cast<unsigned char>(*p) <= 0x20 || *p == '"') ? '_' : *p;
        return out;
    };
    std::string out = line;
    out += " codec=" + word(d.codecName, sizeof d.codecName) + "/" + word(d.codecPayload, sizeof d.codecPayload) +
           "/" + word(d.codecFreq, sizeof d.codecFreq);
    out += " rtp=" + word(d.rtpIp, sizeof d.rtpIp) + ":" + word(d.rtpPort, sizeof d.rtpPort);
    out += " dtmf=" + std::to_string(d.dtmfSignal) + "/" + std::to_string(d.dtmfDuration);
    return out;
}
