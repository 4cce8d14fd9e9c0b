#pragma once
// The one signalling interface the phone window talks to. Two classes
// implement it: CVellSipStack (SIP over UDP, our own user agent in ua/) and
// CTunnelProtocol (frames over the tunnel connection). Everything learned
// from the network comes back through one callback and one fixed-layout
// call record, SipData, shared by both implementations.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

class CquarvoFONDlg;

// Session status codes passed as the first callback argument.
enum {
    VellSS_STATUS_REGISTRATION_SUCCESSFUL = 1,
    VellSS_STATUS_REGISTRATION_FAILURE = 2,
    VellSS_STATUS_REGISTRATION_TIMEOUT = 3,
    VellSS_STATUS_INCOMING_CALL = 4,
    // 5 is not used.
    VellSS_STATUS_CALL_NOANSWER = 6,
    VellSS_STATUS_CALL_PROCEEDING = 7,
    VellSS_STATUS_CALL_RINGING = 8,
    VellSS_STATUS_OUTGOING_CALL_ANSWERED = 9,
    VellSS_STATUS_CALL_REDIRECTED = 10,
    VellSS_STATUS_CALL_REQUESTFAILURE = 11,
    VellSS_STATUS_CALL_SERVERFAILURE = 12,
    VellSS_STATUS_CALL_GLOBALFAILURE = 13,
    VellSS_STATUS_CALL_ACK = 14,
    VellSS_STATUS_CALL_CANCELLED = 15,
    VellSS_STATUS_CALL_TIMEOUT = 16,
    VellSS_STATUS_CALL_CLOSED = 17,
    VellSS_STATUS_CALL_RELEASED = 18,
    VellSS_STATUS_INFO_MESSAGE = 19,
    VellSS_STATUS_CALL_MESSAGE_REQUESTFAILURE = 20,
    VellSS_STATUS_OTHER_SIP_MESSAGE = 21,
    VellSS_STATUS_TIMESTAMP = 100,
    VellSS_STATUS_INVITE_RESULT = 101,
    VellSS_STATUS_LOGOUT = 102,
};

// The call record. Cleared to zeros before it is filled for each event;
// the owner copies what it keeps and hands the copy back to the call
// operations. Texts are 255 characters and a terminator.
struct SipData {
    int32_t cid;
    int32_t did;
    int32_t tid;
    int32_t command;
    int32_t statusCode;
    int32_t dtmfSignal;    // 0..9, 10 for '*', 11 for '#'
    int32_t dtmfDuration;  // ms
    int32_t selectedCodecIndex;
    char rtpPort[256];
    char rtpIp[256];
    char codecName[256];
    char codecPayload[256];
    char codecFreq[256];
    char codecMode[256];
    char fromUserName[256];
    char toUserName[256];
    char fromHost[256];
    char toHost[256];
    char responseMessage[256];
    int32_t telephoneEventIndex;
    int32_t telephoneEventPayload;
    int32_t ptime;
    char telephoneEventParams[256];
};

// One entry of the local codec table (at most 20), also used for the
// peer's codec list while its SDP is read.
struct CodecInfo {
    char name[256];
    char params[256];
    uint8_t payload;
    int32_t clockRate;
    int32_t mode;  // iLBC: frame length in ms; otherwise 0
};

enum { kMaxCodecs = 20 };

// status: one of the codes above, or negative when the event could not be
// processed. data: valid only during the call (it lives on the calling
// thread's stack). The return value is ignored.
typedef int (*SessionEventCallback)(int status, CquarvoFONDlg* owner, SipData* data);

class CSessionProtocol {
public:
    CSessionProtocol();
    virtual ~CSessionProtocol();
    CSessionProtocol(const CSessionProtocol&) = delete;
    CSessionProtocol& operator=(const CSessionProtocol&) = delete;

    virtual int Init(const char* realm, const char* serverAddress, const char* serverPortText,
                     SessionEventCallback eventCallback, CquarvoFONDlg* eventOwner, const char* logFilePath,
                     CodecInfo* codecTable, int codecTableCount, const char* userAgentText, int localSipPort) = 0;
    virtual int Register(const char* displayNameText, const char* userIdText, const char* passwordText,
                         int expiry, const char* registrarAddress, const char* registrarPort, int reserved) = 0;
    virtual int Invite(const char* callerUser, const char* calledUser, const char* proxyAddress,
                       const char* proxyPort, const char* localIpText, const char* localRtpPortText) = 0;
    virtual int SendRinging(SipData* data) = 0;
    virtual int SendRingWithSDP(SipData* data, const char* localIpText, const char* localRtpPortText) = 0;
    virtual int AcceptIncomingCall(SipData* data, const char* localIpText, const char* localRtpPortText) = 0;
    virtual int RejectIncomingCall(SipData* data) = 0;
    virtual int HangUp(SipData* data) = 0;
    virtual int UnRegister(const char* displayNameText, const char* userIdText, const char* passwordText,
                           int expiry, const char* registrarAddress, const char* registrarPort) = 0;
    virtual int SendPing() = 0;
    virtual int StartListen(SipData* data);
    virtual int StopListen();

    // Copies src into a 256-byte (or n-byte) text field, cutting it to fit.
    static void CopyText(char* dst, size_t n, const char* src);

    // State shared by both implementations, in this order.
    // Written by one thread and polled by the other.
    std::atomic<int32_t> quitting;    // 1 once destruction has begun
    std::atomic<int32_t> registered;  // 1 after the first successful registration
    int32_t codecCount;
    CodecInfo* codecs;  // borrowed from the owner
    FILE* logFile;      // protocol log, owned
    std::thread workerThread;
    SessionEventCallback callback;
    CquarvoFONDlg* owner;
    char realm[256];
    char serverAddress[256];
    char serverPort[256];
    char userAgent[255];
    char displayName[256];
    char userId[256];
    char password[256];
    uint32_t workerThreadId;
};
