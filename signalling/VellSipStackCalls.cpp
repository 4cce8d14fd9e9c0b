// Calls on the SIP stack: placing, ringing, answering, rejecting and
// ending calls, the SDP we write, the peer's SDP we read and the codec
// chosen from it, and DTMF digits received in INFO requests.
#include "signalling/VellSipStack.h"

#include "app/Trace.h"
#include "signalling/SdpOffer.h"
#include "signalling/SdpWriter.h"
#include "signalling/ua/CallManager.h"
#include "signalling/ua/DtmfInfoBody.h"
#include "signalling/ua/UserAgent.h"

#include <osipparser2/osip_port.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kDefaultRtpPort[] = "37644";

// Holds the agent's lock for one operation.
class AgentLock {
public:
    explicit AgentLock(ua::CUserAgent* agent) : m_agent(agent), m_locked(agent != nullptr && agent->Lock() == 0) {}
    ~AgentLock() {
        if (m_locked) m_agent->Unlock();
    }
    AgentLock(const AgentLock&) = delete;
    AgentLock& operator=(const AgentLock&) = delete;
    bool Locked() const { return m_locked; }

private:
    ua::CUserAgent* m_agent;
    bool m_locked;
};

ua::CCallManager* Calls(ua::CUserAgent* agent) {
    return agent ? dynamic_cast<ua::CCallManager*>(agent->CallLayer()) : nullptr;
}

unsigned RandomNumber() {
    char text[32] = {0};
    if (ua::CUserAgent::GenerateRandom(text, sizeof(text)) < 0) return 0;
    return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
}

void CopyUriParts(const osip_uri_t* uri, char* user, char* host) {
    if (uri == nullptr) return;
    if (uri->username) CSessionProtocol::CopyText(user, 256, uri->username);
    if (uri->host) CSessionProtocol::CopyText(host, 256, uri->host);
}

// The 183 and 200 answers: one SDP entry, the codec chosen from the offer.
int AnswerWithSdp(CVellSipStack& stack, SipData* data, const char* localIpText, const char* localRtpPortText,
                  int status, const char* function) {
    ua::CUserAgent* agent = stack.UserAgent();
    AgentLock lock(agent);
    if (!lock.Locked()) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "eXosip_lock failed");
        return -1;
    }
    if (data == nullptr) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "Invalid Incoming call to be accepted = %d ", -1);
        return -2;
    }
    QF_LOG_AT(CLogger::LEVEL_DEBUG, function, "$$$$$$$$$$Accepting Incoming DID[%d] CID[%d] TID[%d]$$$$$$$$$$",
              data->did, data->cid, data->tid);
    if (data->tid < 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "Invalid Incoming call to be accepted = %d ", data->tid);
        return -2;
    }
    if (data->selectedCodecIndex < 0 || data->selectedCodecIndex >= stack.codecCount || stack.codecs == nullptr) {
        // The record names no entry of our table: nothing to announce.
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "Invalid codec index %d", data->selectedCodecIndex);
        return -2;
    }
    const char* port = kDefaultRtpPort;
    if (localIpText != nullptr) {
        CSessionProtocol::CopyText(stack.localIp, sizeof(stack.localIp), localIpText);
        if (localRtpPortText != nullptr) port = localRtpPortText;
    } else {
        const int ret = agent->GuessLocalIp(AF_INET, stack.localIp, sizeof(stack.localIp));
        if (ret != 0) {
            QF_LOG_AT(CLogger::LEVEL_ERROR, function, "eXosip_guess_localip failed nRet = %d ", ret);
            return -3;
        }
    }
    CSessionProtocol::CopyText(stack.localRtpPort, sizeof(stack.localRtpPort), port);

    osip_message_t* answer = nullptr;
    int ret = agent->CallBuildAnswer(data->tid, status, &answer);
    if (ret != 0 || answer == nullptr) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "eXosip_call_build_answer failed nRet = %d ", ret);
        return -4;
    }
    const CodecInfo& chosen = stack.codecs[data->selectedCodecIndex];
    QF_LOG_AT(CLogger::LEVEL_DEBUG, function, "Selected Pay Load = [%d]", chosen.payload);
    QF_LOG_AT(CLogger::LEVEL_DEBUG, function, "Selected Frequency = [%d]", chosen.clockRate);
    QF_LOG_AT(CLogger::LEVEL_DEBUG, function, "Selected Mode = [%d]", chosen.mode);
    QF_LOG_AT(CLogger::LEVEL_DEBUG, function, "Selected Codec Name = [%s]", chosen.name);

    char sdp[CSdpWriter::MAX_SDP_TEXT + 4];
    const int len = stack.CreateSDP(sdp, sizeof(sdp), &chosen, 1);
    ret = len < 0 ? len : osip_message_set_body(answer, sdp, static_cast<size_t>(len));
    if (ret != 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "osip_message_set_body failed nRet = %d ", ret);
        osip_message_free(answer);
        return -5;
    }
    ret = osip_message_set_content_type(answer, "application/sdp");
    if (ret != 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "osip_message_set_content_type failed nRet = %d ", ret);
        osip_message_free(answer);
        return -6;
    }
    ret = agent->CallSendAnswer(data->tid, status, answer);
    if (ret != 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "eXosip_call_send_answer failed nRet = %d ", ret);
        return -7;
    }
    return 1;
}

// Answers the peer's offer with 488 Not Acceptable Here.
void RefuseOffer(ua::CUserAgent* agent, ua::Event* event) {
    // Only a request of the peer can be refused; for the answers to our own
    // INVITE building fails and the caller's failure result is what remains.
    osip_message_t* answer = nullptr;
    if (agent->CallBuildAnswer(event->tid, 488, &answer) != 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, "CVellSipStack::ProcessSDP", "eXosip_call_build_answer failed");
        return;
    }
    if (agent->CallSendAnswer(event->tid, 488, answer) != 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, "CVellSipStack::ProcessSDP", "eXosip_call_send_answer failed");
        return;
    }
}

} // namespace

int CVellSipStack::Invite(const char* callerUser, const char* calledUser, const char* proxyAddress,
                          const char* proxyPort, const char* localIpText, const char* localRtpPortText) {
    QF_TRACE("CVellSipStack::Invite");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    if (callerUser == nullptr || calledUser == nullptr || proxyAddress == nullptr || proxyPort == nullptr) {
        QF_LOG_ERROR("eXosip_call_build_initial_invite failed");
        return -2;
    }
    char toUri[256];
    std::snprintf(toUri, sizeof(toUri), "sip:%s@%s:%s", calledUser, proxyAddress, proxyPort);
    if (std::strchr(callerUser, '@') != nullptr) {
        std::snprintf(localUri, sizeof(localUri), "sip:%s", callerUser);
    } else {
        std::snprintf(localUri, sizeof(localUri), "sip:%s@%s:%s", callerUser, proxyAddress, proxyPort);
    }
    QF_LOG_DEBUG("To SIP ID %s", calledUser);
    QF_LOG_DEBUG("From SIP ID %s", callerUser);
    QF_LOG_DEBUG("ProxyServer IP %s", proxyAddress);
    QF_LOG_DEBUG("ProxyServer Port %s", proxyPort);
    QF_LOG_DEBUG("To URL %s", toUri);
    QF_LOG_DEBUG("Caller URL %s", localUri);

    osip_message_t* invite = nullptr;
    int ret = m_ua->CallBuildInitialInvite(&invite, toUri, localUri, nullptr, userAgent);
    if (ret != 0 || invite == nullptr) {
        QF_LOG_ERROR("eXosip_call_build_initial_invite failed");
        return -2;
    }
    QF_LOG_DEBUG("eXosip_call_build_initial_invite returned %d ", ret);

    if (localIpText != nullptr) {
        CopyText(localIp, sizeof(localIp), localIpText);
    } else if (localIp[0] == '\0') {
        ret = m_ua->GuessLocalIp(AF_INET, localIp, sizeof(localIp));
        if (ret != 0) {
            QF_LOG_ERROR("eXosip_guess_localip failed nRet = %d ", ret);
            osip_message_free(invite);
            return -3;
        }
    }
    CopyText(localRtpPort, sizeof(localRtpPort), localRtpPortText ? localRtpPortText : kDefaultRtpPort);

    char sdp[CSdpWriter::MAX_SDP_TEXT + 4];
    const int len = CreateSDP(sdp, sizeof(sdp), codecs, codecCount);
    if (len < 0 || osip_message_set_body(invite, sdp, static_cast<size_t>(len)) != 0 ||
        osip_message_set_content_type(invite, "application/sdp") != 0) {
        // Without our offer the call could not carry voice; do not place it.
        QF_LOG_ERROR("eXosip_call_send_initial_invite failed nRet = %d", len);
        osip_message_free(invite);
        return -4;
    }
    ret = m_ua->CallSendInitialInvite(invite);
    if (ret < 0) {
        QF_LOG_ERROR("eXosip_call_send_initial_invite failed nRet = %d", ret);
        return -4;
    }
    QF_LOG_DEBUG("eXosip_call_send_initial_invite returned %d ", ret);
    QF_LEAVE();
    return ret;
}

int CVellSipStack::SendRinging(SipData* data) {
    QF_TRACE("CVellSipStack::SendRinging");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    if (data == nullptr) {
        QF_LOG_ERROR("eXosip_call_build_answer failed nRet = %d ", -1);
        return -2;
    }
    QF_LOG_DEBUG("$$$$$$$$$$Sending Ring DID[%d] CID[%d] TID[%d]$$$$$$$$$$", data->did, data->cid, data->tid);
    osip_message_t* answer = nullptr;
    int ret = m_ua->CallBuildAnswer(data->tid, 180, &answer);
    if (ret != 0) {
        QF_LOG_ERROR("eXosip_call_build_answer failed nRet = %d ", ret);
        return -2;
    }
    ret = m_ua->CallSendAnswer(data->tid, 180, answer);
    if (ret != 0) {
        QF_LOG_ERROR("eXosip_call_send_answer failed nRet = %d ", ret);
        return -3;
    }
    QF_LEAVE();
    return 1;
}

int CVellSipStack::RejectIncomingCall(SipData* data) {
    QF_TRACE("CVellSipStack::RejectIncomingCall");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    if (data == nullptr) {
        QF_LOG_ERROR("eXosip_call_build_answer failed nRet = %d ", -1);
        return -2;
    }
    QF_LOG_DEBUG("$$$$$$$$$$Rejecting Incoming Call DID[%d] CID[%d] TID[%d]$$$$$$$$$$", data->did, data->cid,
                 data->tid);
    osip_message_t* answer = nullptr;
    int ret = m_ua->CallBuildAnswer(data->tid, 486, &answer);
    if (ret != 0) {
        QF_LOG_ERROR("eXosip_call_build_answer failed nRet = %d ", ret);
        return -2;
    }
    ret = m_ua->CallSendAnswer(data->tid, 486, answer);
    if (ret != 0) {
        QF_LOG_ERROR("eXosip_call_send_answer failed nRet = %d ", ret);
        return -3;
    }
    QF_LEAVE();
    return 1;
}

int CVellSipStack::AcceptIncomingCall(SipData* data, const char* localIpText, const char* localRtpPortText) {
    QF_TRACE("CVellSipStack::AcceptIncomingCall");
    const int ret = AnswerWithSdp(*this, data, localIpText, localRtpPortText, 200, QF_FUNC);
    if (ret < 0) return ret;
    QF_LEAVE();
    return ret;
}

int CVellSipStack::SendRingWithSDP(SipData* data, const char* localIpText, const char* localRtpPortText) {
    QF_TRACE("CVellSipStack::SendRingWithSDP");
    const int ret = AnswerWithSdp(*this, data, localIpText, localRtpPortText, 183, QF_FUNC);
    if (ret < 0) return ret;
    QF_LEAVE();
    return ret;
}

int CVellSipStack::HangUp(SipData* data) {
    QF_TRACE("CVellSipStack::HangUp");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    if (data == nullptr) {
        QF_LOG_ERROR("eXosip_call_terminate failed nRet = %d ", -1);
        return -2;
    }
    QF_LOG_DEBUG("$$$$$$$$$$Dropping Call DID[%d] CID[%d] TID[%d]$$$$$$$$$$", data->did, data->cid, data->tid);
    const int ret = m_ua->CallTerminate(data->cid, data->did);
    if (ret != 0) {
        QF_LOG_ERROR("eXosip_call_terminate failed nRet = %d ", ret);
        return -2;
    }
    QF_LEAVE();
    return 1;
}

int CVellSipStack::CreateSDP(char* out, int outSize, const CodecInfo* entries, int entryCount) {
    QF_TRACE("CVellSipStack::CreateSDP");
    if (out == nullptr || outSize <= 0) {
        QF_LOG_ERROR("No buffer for SDP");
        return -1;
    }
    const unsigned sessionId = RandomNumber();
    const unsigned sessionVersion = RandomNumber();
    const int len = CSdpWriter::Write(out, static_cast<size_t>(outSize), entries, entryCount, localIp, localRtpPort,
                                      userAgent, sessionId, sessionVersion);
    if (len < 0) return len;
    QF_LOG_DEBUG("SDP data\n%s ", out);
    QF_LEAVE();
    return len;
}

int CVellSipStack::MatchCodec(CodecInfo* remote, int remoteCount, SipData* data) {
    QF_TRACE("CVellSipStack::MatchCodec");
    int remoteIndex = -1;
    const int index = CSdpOffer::MatchCodec(remote, remoteCount, codecs, codecCount, &remoteIndex);
    if (index < 0 || data == nullptr) return -1;
    const CodecInfo& chosen = remote[remoteIndex];
    data->selectedCodecIndex = index;
    CopyText(data->codecName, sizeof(data->codecName), chosen.name);
    std::snprintf(data->codecPayload, sizeof(data->codecPayload), "%d", chosen.payload);
    std::snprintf(data->codecFreq, sizeof(data->codecFreq), "%d", chosen.clockRate);
    std::snprintf(data->codecMode, sizeof(data->codecMode), "%d", chosen.mode);
    QF_LEAVE();
    return index;
}

int CVellSipStack::ProcessSDP(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessSDP");
    if (event == nullptr || data == nullptr) return -1;
    std::string text;
    ua::CCallManager* calls = Calls(m_ua.get());
    if (calls == nullptr || calls->GetRemoteSdp(event->did, &text) < 0) text.clear();

    CSdpOffer offer;
    if (offer.Parse(text.c_str()) != CSdpOffer::READ_OK) {
        RefuseOffer(m_ua.get(), event);
        return -1;
    }
    CopyText(data->rtpPort, sizeof(data->rtpPort), offer.RtpPort());
    CopyText(data->rtpIp, sizeof(data->rtpIp), offer.RtpIp());
    data->ptime = offer.Ptime();

    if (MatchCodec(offer.Codecs(), offer.CodecCount(), data) < 0) {
        QF_LOG_WARNING("No matching codec found in the remote offer");
        RefuseOffer(m_ua.get(), event);
        return -1;
    }

    data->telephoneEventIndex = -1;
    data->telephoneEventPayload = -1;
    data->telephoneEventParams[0] = '\0';
    int eventRemote = -1;
    const int eventLocal =
        CSdpOffer::MatchTelephoneEvent(offer.Codecs(), offer.CodecCount(), codecs, codecCount, &eventRemote);
    if (eventLocal >= 0) {
        data->telephoneEventIndex = eventLocal;
        data->telephoneEventPayload = offer.Codecs()[eventRemote].payload;
        CopyText(data->telephoneEventParams, sizeof(data->telephoneEventParams), offer.Codecs()[eventRemote].params);
    }

    if (event->request != nullptr) {
        const osip_from_t* from = osip_message_get_from(event->request);
        if (from != nullptr) CopyUriParts(from->url, data->fromUserName, data->fromHost);
        CopyUriParts(osip_message_get_uri(event->request), data->toUserName, data->toHost);
    }
    QF_LEAVE();
    return 1;
}

int CVellSipStack::ProcessEXOSIP_CALL_INVITE(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_INVITE");
    int status = VellSS_STATUS_INCOMING_CALL;
    {
        AgentLock lock(m_ua.get());
        if (!lock.Locked()) {
            QF_LOG_ERROR("eXosip_lock failed");
            return -1;
        }
        if (ProcessSDP(event, data) < 0) {
            QF_LOG_ERROR("Unable to parse remote SDP");
            status = -1;
        }
    }
    QF_LOG_DEBUG("Selected Pay Load = [%s]", data->codecPayload);
    QF_LOG_DEBUG("Selected Frequency = [%s]", data->codecFreq);
    QF_LOG_DEBUG("Selected Mode = [%s]", data->codecMode);
    QF_LOG_DEBUG("Selected Codec Name = [%s]", data->codecName);
    QF_LEAVE();
    return status;
}

int CVellSipStack::ProcessEXOSIP_CALL_REINVITE(ua::Event* event, SipData* /*data*/) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_REINVITE");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    // A change of media in the middle of a call is not supported: the call
    // goes on with what was agreed.
    osip_message_t* answer = nullptr;
    int ret = m_ua->CallBuildAnswer(event->tid, 488, &answer);
    if (ret != 0) {
        QF_LOG_ERROR("eXosip_call_build_answer failed");
        return -1;
    }
    ret = m_ua->CallSendAnswer(event->tid, 488, answer);
    if (ret != 0) {
        QF_LOG_ERROR("eXosip_call_send_answer failed");
        return -2;
    }
    QF_LEAVE();
    return -1;
}

int CVellSipStack::ProcessEXOSIP_CALL_PROCEEDING(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_PROCEEDING");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    if (m_ua->DefaultAction(event) < 0) {
        QF_LOG_ERROR("eXosip_default_action failed for CID %d", data->cid);
        return -1;
    }
    if (data->statusCode == 183 && ProcessSDP(event, data) < 0) {
        QF_LOG_ERROR("Unable to parse remote SDP");
        return -1;
    }
    QF_LEAVE();
    return VellSS_STATUS_CALL_PROCEEDING;
}

int CVellSipStack::ProcessEXOSIP_CALL_RINGING(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_RINGING");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    if (ProcessSDP(event, data) < 0) {
        QF_LOG_DEBUG("Some problem with remote SDP, we ignored it");
    }
    QF_LEAVE();
    return VellSS_STATUS_CALL_RINGING;
}

int CVellSipStack::ProcessEXOSIP_CALL_ANSWERED(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_ANSWERED");
    AgentLock lock(m_ua.get());
    if (!lock.Locked()) {
        QF_LOG_ERROR("eXosip_lock failed");
        return -1;
    }
    const bool usable = ProcessSDP(event, data) >= 0;
    if (!usable) QF_LOG_ERROR("Unable to parse remote SDP");
    // The 2xx is acknowledged even when its SDP is of no use, so that the
    // far end stops repeating it; such a call is then ended at once.
    osip_message_t* ack = nullptr;
    if (m_ua->CallBuildAck(event->did, &ack) != 0) {
        QF_LOG_ERROR("eXosip_call_build_ack failed");
        return -1;
    }
    if (m_ua->CallSendAck(event->did, ack) != 0) {
        QF_LOG_ERROR("eXosip_call_send_ack failed");
        return -1;
    }
    if (!usable) {
        m_ua->CallTerminate(event->cid, event->did);
        return -1;
    }
    QF_LEAVE();
    return VellSS_STATUS_OUTGOING_CALL_ANSWERED;
}

int CVellSipStack::ProcessEXOSIP_INFO_Message(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_INFO_Message");
    if (event == nullptr || data == nullptr) return -1;
    if (event->cid != 0) {
        AgentLock lock(m_ua.get());
        if (!lock.Locked()) {
            QF_LOG_ERROR("eXosip_lock failed");
            return -1;
        }
        osip_message_t* answer = nullptr;
        if (m_ua->CallBuildAnswer(event->tid, 200, &answer) != 0) {
            QF_LOG_ERROR("eXosip_call_build_answer failed");
            return -2;
        }
        if (m_ua->CallSendAnswer(event->tid, 200, answer) != 0) {
            QF_LOG_ERROR("eXosip_call_send_answer failed");
            return -2;
        }
    }
    osip_body_t* body = nullptr;
    if (event->request != nullptr) osip_message_get_body(event->request, 0, &body);
    const char* text = (body != nullptr && body->body != nullptr) ? body->body : "";
    const size_t len = (body != nullptr && body->body != nullptr) ? body->length : 0;
    QF_LOG_DEBUG("Message Body %.*s", static_cast<int>(len > 1024 ? 1024 : len), text);
    int signal = CDtmfInfoBody::NO_SIGNAL;
    int duration = 0;
    CDtmfInfoBody::Read(text, len, &signal, &duration);
    data->dtmfSignal = signal;
    data->dtmfDuration = duration;
    QF_LEAVE();
    return VellSS_STATUS_INFO_MESSAGE;
}
