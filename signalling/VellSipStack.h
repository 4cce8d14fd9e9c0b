#pragma once
// The session protocol spoken directly as SIP over UDP, on our own user
// agent (ua/CUserAgent). Start, registration, keep-alive and the event
// thread live in VellSipStack.cpp; calls, SDP and codec negotiation in
// VellSipStackCalls.cpp.
#include "signalling/SessionProtocol.h"
#include "signalling/ua/UaEvent.h"

#include <osipparser2/osip_message.h>

#include <atomic>
#include <memory>

namespace ua {
class CUserAgent;
}

class CVellSipStack : public CSessionProtocol {
public:
    CVellSipStack();
    ~CVellSipStack() override;

    // Start, registration, keep-alive (VellSipStack.cpp).
    int Init(const char* realm, const char* serverAddress, const char* serverPortText,
             SessionEventCallback eventCallback, CquarvoFONDlg* eventOwner, const char* logFilePath,
             CodecInfo* codecTable, int codecTableCount, const char* userAgentText, int localSipPort) override;
    int Register(const char* displayNameText, const char* userIdText, const char* passwordText, int expiry,
                 const char* registrarAddress, const char* registrarPort, int reserved) override;
    int UnRegister(const char* displayNameText, const char* userIdText, const char* passwordText, int expiry,
                   const char* registrarAddress, const char* registrarPort) override;
    int SendPing() override;

    // Calls (VellSipStackCalls.cpp).
    int Invite(const char* callerUser, const char* calledUser, const char* proxyAddress, const char* proxyPort,
               const char* localIpText, const char* localRtpPortText) override;
    int SendRinging(SipData* data) override;
    int SendRingWithSDP(SipData* data, const char* localIpText, const char* localRtpPortText) override;
    int AcceptIncomingCall(SipData* data, const char* localIpText, const char* localRtpPortText) override;
    int RejectIncomingCall(SipData* data) override;
    int HangUp(SipData* data) override;

    // SDP writing and reading, codec choice (VellSipStackCalls.cpp).
    // CreateSDP returns the text length, or negative.
    int CreateSDP(char* out, int outSize, const CodecInfo* entries, int entryCount);
    int ProcessSDP(ua::Event* event, SipData* data);
    int MatchCodec(CodecInfo* remote, int remoteCount, SipData* data);

    // The event thread and its dispatch (VellSipStack.cpp).
    void ThreadProc();
    void GetSipDialog(ua::Event* event, SipData* data);
    // Handles one event as the thread does and returns 1 when the callback
    // was made, 0 when the event ended without one, -1 when the thread
    // must end. Frees the event.
    int DispatchEvent(ua::Event* event);

    // Event handlers: each returns the status given to the callback.
    int ProcessEXOSIP_REGISTRATION_SUCCESS(ua::Event* event, SipData* data);
    int ProcessEXOSIP_REGISTRATION_FAILURE(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_NOANSWER(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_REDIRECTED(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_REQUESTFAILURE(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_SERVERFAILURE(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_GLOBALFAILURE(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_ACK(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_CANCELLED(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_TIMEOUT(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_MESSAGE_NEW(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_MESSAGE_REQUESTFAILURE(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_CLOSED(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_RELEASED(ua::Event* event, SipData* data);
    // Handlers that read or answer SDP (VellSipStackCalls.cpp).
    int ProcessEXOSIP_CALL_INVITE(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_REINVITE(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_PROCEEDING(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_RINGING(ua::Event* event, SipData* data);
    int ProcessEXOSIP_CALL_ANSWERED(ua::Event* event, SipData* data);
    int ProcessEXOSIP_INFO_Message(ua::Event* event, SipData* data);

    // The user agent underneath (null before Init).
    ua::CUserAgent* UserAgent() { return m_ua.get(); }

    char localUri[256];
    char registrarUri[256];
    char localIp[255];
    char localRtpPort[256];
    int32_t sipStarted;
    osip_message_t* registerRequest;

private:
    int SendRegister(const char* functionName, int expiry, int lockFailure, int authFailure, int buildFailure,
                     int sendFailure);

    std::unique_ptr<ua::CUserAgent> m_ua;
    std::atomic<bool> m_threadEnded{false};
};
