#include "signalling/VellSipStack.h"

#include "app/Trace.h"
#include "signalling/ua/CallManager.h"
#include "signalling/ua/UserAgent.h"

#include <netinet/in.h>
#include <osipparser2/osip_port.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdarg>
#include <future>
#include <mutex>

namespace {

// How long the destructor waits for the event thread: first for the answer
// to the unregistration, then for the thread's next idle poll.
constexpr int kUnregisterWaitMs = 15000;
constexpr int kIdleWaitMs = 2000;

// The SIP library's trace goes to the protocol log of the agent that
// opened one last (the library has one trace for the whole process).
std::mutex g_traceMutex;
FILE* g_traceFile = nullptr;

void WriteLibraryTrace(const char* file, int line, osip_trace_level_t level, const char* format, va_list args) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    if (!g_traceFile) return;
    fprintf(g_traceFile, "| %d | <%s:%d> ", static_cast<int>(level), file ? file : "", line);
    vfprintf(g_traceFile, format, args);
    fflush(g_traceFile);
}

void RouteLibraryTrace(FILE* file) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_traceFile = file;
    osip_trace_initialize_func(TRACE_LEVEL7, &WriteLibraryTrace);
    osip_trace_enable_until_level(TRACE_LEVEL7);
    osip_trace_enable_level(TRACE_LEVEL7);
}

void DisableLibraryTrace(FILE* file) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    if (g_traceFile != file) return;  // another agent's log took over
    g_traceFile = nullptr;
    for (int level = 0; level < END_TRACE_LEVEL; ++level)
        osip_trace_disable_level(static_cast<osip_trace_level_t>(level));
}

} // namespace

CVellSipStack::CVellSipStack()
    : localUri{}, localIp{}, localRtpPort{}, sipStarted(0), registerRequest(nullptr) {
    registrarUri[0] = '\0';
}

// ---------------------------------------------------------------- Init

int CVellSipStack::Init(const char* realmText, const char* serverAddressText, const char* serverPortText,
                        SessionEventCallback eventCallback, CquarvoFONDlg* eventOwner, const char* logFilePath,
                        CodecInfo* codecTable, int codecTableCount, const char* userAgentText, int localSipPort) {
    QF_TRACE("CVellSipStack::Init");
    if (!eventCallback) return -1;
    if (!realmText) return -2;
    if (!serverAddressText) return -3;
    if (!serverPortText) return -4;
    if (!codecTable) return -7;
    if (codecTableCount == 0) return -8;
    if (!eventOwner) return -9;
    if (!userAgentText) return -10;
    if (m_ua) {
        QF_LOG_ERROR("Init called twice");
        return -8;
    }

    owner = eventOwner;
    codecCount = codecTableCount > kMaxCodecs ? kMaxCodecs : codecTableCount;
    callback = eventCallback;
    codecs = codecTable;
    CopyText(realm, sizeof realm, realmText);
    CopyText(serverAddress, sizeof serverAddress, serverAddressText);
    CopyText(serverPort, sizeof serverPort, serverPortText);
    CopyText(userAgent, sizeof userAgent, userAgentText);

    ua::CUserAgent::QuietLibraryTrace();
    if (logFilePath) {
        logFile = fopen(logFilePath, "w+");
        if (!logFile) {
            QF_LOG_ERROR("Unable to create sip log file %s", logFilePath);
            return -7;
        }
        RouteLibraryTrace(logFile);
    }

    sipStarted = 0;
    m_ua = std::make_unique<ua::CUserAgent>();
    int nRet = m_ua->Init();
    if (nRet != 0) {
        QF_LOG_ERROR("eXosip_init failed nRet = %d", nRet);
        m_ua.reset();
        return -8;
    }
    sipStarted = 1;
    // Calls and their dialogs live in the call manager (ua/CallManager).
    m_ua->SetCallLayer(std::make_unique<ua::CCallManager>(m_ua.get()));

    if (m_ua->ListenAddr(IPPROTO_UDP, nullptr, localSipPort, AF_INET, 0) != 0) {
        QF_LOG_ERROR("eXosip_listen_addr failed on Port %d", localSipPort);
        return -9;
    }
    m_ua->SetUserAgent(userAgent);

    try {
        std::promise<uint32_t> started;
        std::future<uint32_t> id = started.get_future();
        workerThread = std::thread([this, &started] {
            started.set_value(static_cast<uint32_t>(syscall(SYS_gettid)));
            ThreadProc();
        });
        workerThreadId = id.get();
    } catch (...) {
        m_ua->Quit();
        sipStarted = 0;
        QF_LOG_ERROR("CreateThread failed");
        return -11;
    }
    QF_LEAVE();
    return 1;
}

// ---------------------------------------------------------------- registration

int CVellSipStack::SendRegister(const char* functionName, int expiry, int lockFailure, int authFailure,
                                int buildFailure, int sendFailure) {
    if (!m_ua || m_ua->Lock() != 0) return lockFailure;
    int nRet = m_ua->AddAuthenticationInfo(displayName, userId, password, nullptr, realm);
    if (nRet != 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, functionName, "eXosip_add_authentication_info failed nRet = %d ", nRet);
        m_ua->Unlock();
        return authFailure;
    }
    registerRequest = nullptr;
    int id = m_ua->RegisterBuildInitialRegister(localUri, registrarUri, nullptr, expiry, &registerRequest);
    if (id < 1) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, functionName, "eXosip_register_build_initial_register failed id = %d ", id);
        m_ua->Unlock();
        return buildFailure;
    }
    nRet = m_ua->RegisterSendRegister(id, registerRequest);
    registerRequest = nullptr;  // the agent owns it now
    if (nRet != 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, functionName, "eXosip_register_send_register failed nRet = %d ", nRet);
        m_ua->Unlock();
        return sendFailure;
    }
    m_ua->Unlock();
    return 1;
}

int CVellSipStack::Register(const char* displayNameText, const char* userIdText, const char* passwordText,
                            int expiry, const char* registrarAddress, const char* registrarPort, int /*reserved*/) {
    QF_TRACE("CVellSipStack::Register");
    if (!userIdText) {
        QF_LOG_ERROR("Empty SIP User ID");
        return -1;
    }
    if (!passwordText) {
        QF_LOG_ERROR("Empty SIP Password");
        return -2;
    }
    if (!displayNameText) {
        QF_LOG_ERROR("Empty SIP Display Name");
        return -3;
    }
    CopyText(displayName, sizeof displayName, displayNameText);
    CopyText(userId, sizeof userId, userIdText);
    CopyText(password, sizeof password, passwordText);
    if (!registrarAddress || !registrarPort) {
        registrarAddress = serverAddress;
        registrarPort = serverPort;
    }
    char uri[1024];
    snprintf(uri, sizeof uri, "sip:%s@%s:%s", userId, registrarAddress, registrarPort);
    CopyText(localUri, sizeof localUri, uri);
    snprintf(uri, sizeof uri, "sip:%s:%s", registrarAddress, registrarPort);
    CopyText(registrarUri, sizeof registrarUri, uri);

    if (!m_ua || m_ua->Lock() != 0) return -4;
    QF_LOG_DEBUG("display name %s, user id %s, password %s,Realm %s", displayName, userId, "xxxxx", realm);
    int result = SendRegister(QF_FUNC, expiry, -4, -5, -6, -7);
    m_ua->Unlock();
    if (result != 1) return result;
    QF_LEAVE();
    return 1;
}

int CVellSipStack::UnRegister(const char*, const char*, const char*, int, const char*, const char*) {
    QF_TRACE("CVellSipStack::UnRegister");
    int result = SendRegister(QF_FUNC, 0, -1, -2, -3, -4);
    if (result != 1) return result;
    QF_LEAVE();
    return 1;
}

int CVellSipStack::SendPing() {
    QF_TRACE("CVellSipStack::SendPing");
    if (!m_ua || m_ua->Lock() != 0) return -1;
    char target[1024];
    snprintf(target, sizeof target, "sip:%s@%s:%s", userId, serverAddress, serverPort);
    osip_message_t* message = nullptr;
    int nRet = m_ua->MessageBuildRequest(&message, "MESSAGE", target, target, nullptr);
    if (nRet != 0) {
        QF_LOG_ERROR("eXosip_message_build_request");
        m_ua->Unlock();
        return -1;
    }
    nRet = m_ua->MessageSendRequest(message);
    m_ua->Unlock();
    if (nRet <= 0) {
        QF_LOG_ERROR("eXosip_message_send_request");
        return -2;
    }
    QF_LEAVE();
    return 1;
}

// ---------------------------------------------------------------- event thread

void CVellSipStack::ThreadProc() {
    QF_TRACE("CVellSipStack::ThreadProc");
    QF_LOG_DEBUG("Thread Started");
    for (;;) {
        ua::Event* event = m_ua->EventWait(1, 0);
        if (!event) {
            if (quitting == 1 && registered == 0) {
                QF_LOG_DEBUG("exiting, Unregister successfull quitting");
                QF_LOG_DEBUG("***********************exiting, No registration");
                break;
            }
            continue;
        }
        if (DispatchEvent(event) < 0) break;
    }
    m_threadEnded = true;
    QF_LEAVE();
}

void CVellSipStack::GetSipDialog(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::GetSipDialog");
    data->did = event->did;
    data->cid = event->cid;
    data->tid = event->tid;
    if (event->response) {
        data->statusCode = event->response->status_code;
        CopyText(data->responseMessage, sizeof data->responseMessage, event->response->reason_phrase);
    }
    QF_LOG_DEBUG("Call DID =  %d, CID = %d, TID =  %d", data->did, data->cid, data->tid);
    if (const char* name = ua::EventTypeName(event->type)) QF_LOG_DEBUG("%s", name);
    QF_LEAVE();
}

namespace {
struct Handler {
    int type;
    const char* name;
    int (CVellSipStack::*process)(ua::Event*, SipData*);
    bool nullRecord;  // registration events call back without a record
};

const Handler kHandlers[] = {
    {ua::EXOSIP_REGISTRATION_SUCCESS, "EXOSIP_REGISTRATION_SUCCESS",
     &CVellSipStack::ProcessEXOSIP_REGISTRATION_SUCCESS, true},
    {ua::EXOSIP_REGISTRATION_FAILURE, "EXOSIP_REGISTRATION_FAILURE",
     &CVellSipStack::ProcessEXOSIP_REGISTRATION_FAILURE, true},
    {ua::EXOSIP_CALL_INVITE, "EXOSIP_CALL_INVITE", &CVellSipStack::ProcessEXOSIP_CALL_INVITE, false},
    {ua::EXOSIP_CALL_REINVITE, "EXOSIP_CALL_REINVITE", &CVellSipStack::ProcessEXOSIP_CALL_REINVITE, false},
    {ua::EXOSIP_CALL_NOANSWER, "EXOSIP_CALL_NOANSWER", &CVellSipStack::ProcessEXOSIP_CALL_NOANSWER, false},
    {ua::EXOSIP_CALL_PROCEEDING, "EXOSIP_CALL_PROCEEDING", &CVellSipStack::ProcessEXOSIP_CALL_PROCEEDING, false},
    {ua::EXOSIP_CALL_RINGING, "EXOSIP_CALL_RINGING", &CVellSipStack::ProcessEXOSIP_CALL_RINGING, false},
    {ua::EXOSIP_CALL_ANSWERED, "EXOSIP_CALL_ANSWERED", &CVellSipStack::ProcessEXOSIP_CALL_ANSWERED, false},
    {ua::EXOSIP_CALL_REDIRECTED, "EXOSIP_CALL_REDIRECTED", &CVellSipStack::ProcessEXOSIP_CALL_REDIRECTED, false},
    {ua::EXOSIP_CALL_REQUESTFAILURE, "EXOSIP_CALL_REQUESTFAILURE",
     &CVellSipStack::ProcessEXOSIP_CALL_REQUESTFAILURE, false},
    {ua::EXOSIP_CALL_SERVERFAILURE, "EXOSIP_CALL_SERVERFAILURE", &CVellSipStack::ProcessEXOSIP_CALL_SERVERFAILURE,
     false},
    {ua::EXOSIP_CALL_GLOBALFAILURE, "EXOSIP_CALL_GLOBALFAILURE", &CVellSipStack::ProcessEXOSIP_CALL_GLOBALFAILURE,
     false},
    {ua::EXOSIP_CALL_ACK, "EXOSIP_CALL_ACK", &CVellSipStack::ProcessEXOSIP_CALL_ACK, false},
    {ua::EXOSIP_CALL_CANCELLED, "EXOSIP_CALL_CANCELLED", &CVellSipStack::ProcessEXOSIP_CALL_CANCELLED, false},
    {ua::EXOSIP_CALL_TIMEOUT, "EXOSIP_CALL_TIMEOUT", &CVellSipStack::ProcessEXOSIP_CALL_TIMEOUT, false},
    {ua::EXOSIP_CALL_MESSAGE_NEW, "EXOSIP_CALL_MESSAGE_NEW", &CVellSipStack::ProcessEXOSIP_CALL_MESSAGE_NEW, false},
    {ua::EXOSIP_CALL_MESSAGE_REQUESTFAILURE, "EXOSIP_CALL_MESSAGE_REQUESTFAILURE",
     &CVellSipStack::ProcessEXOSIP_CALL_MESSAGE_REQUESTFAILURE, false},
    {ua::EXOSIP_CALL_CLOSED, "EXOSIP_CALL_CLOSED", &CVellSipStack::ProcessEXOSIP_CALL_CLOSED, false},
    {ua::EXOSIP_CALL_RELEASED, "EXOSIP_CALL_RELEASED", &CVellSipStack::ProcessEXOSIP_CALL_RELEASED, false},
};

// Status the message handler returns for a request that gets no callback.
constexpr int kNoCallback = 0x7fffffff;
// Status the registration handler returns when the thread must end.
constexpr int kEndThread = 0x7ffffffe;
} // namespace

int CVellSipStack::DispatchEvent(ua::Event* event) {
    QF_TRACE("CVellSipStack::DispatchEvent");
    QF_LOG_DEBUG("***********************SIP Event = %d", event->type);
    SipData data;
    memset(&data, 0, sizeof data);
    GetSipDialog(event, &data);

    for (const Handler& h : kHandlers) {
        if (h.type != event->type) continue;
        QF_LOG_DEBUG("case %s ********Entering********", h.name);
        int status = (this->*h.process)(event, &data);
        QF_LOG_DEBUG("case %s ########Leaving########", h.name);
        if (status == kEndThread) return -1;  // the handler freed the event
        if (status != kNoCallback && callback) callback(status, owner, h.nullRecord ? nullptr : &data);
        ua::CUserAgent::EventFree(event);
        QF_LEAVE();
        return status == kNoCallback ? 0 : 1;
    }

    // Any other event: the callback runs with the library lock held.
    QF_LOG_DEBUG("case default ********Entering********");
    int made = 0;
    if (m_ua->Lock() == 0) {
        if (callback) callback(VellSS_STATUS_OTHER_SIP_MESSAGE, owner, &data);
        made = 1;
        m_ua->Unlock();
    }
    QF_LOG_DEBUG("case default ########Leaving########");
    ua::CUserAgent::EventFree(event);
    QF_LEAVE();
    return made;
}

int CVellSipStack::ProcessEXOSIP_REGISTRATION_SUCCESS(ua::Event* event, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_REGISTRATION_SUCCESS");
    if (m_ua->Lock() != 0) return -1;
    if (m_ua->DefaultAction(event) < 0) {
        QF_LOG_ERROR("eXosip_default_action failed for EXOSIP_REGISTRATION_SUCCESS");
        m_ua->Unlock();
        return -1;
    }
    QF_LOG_DEBUG("back from exosip");
    if (quitting == 1) {
        QF_LOG_DEBUG("exiting, Unregister successfull quitting");
        ua::CUserAgent::EventFree(event);
        m_ua->Unlock();
        return kEndThread;
    }
    registered = 1;
    QF_LOG_DEBUG("Calling callback function");
    m_ua->Unlock();
    QF_LEAVE();
    return VellSS_STATUS_REGISTRATION_SUCCESSFUL;
}

int CVellSipStack::ProcessEXOSIP_REGISTRATION_FAILURE(ua::Event* event, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_REGISTRATION_FAILURE");
    if (m_ua->Lock() != 0) return -1;
    m_ua->DefaultAction(event);
    int status = VellSS_STATUS_REGISTRATION_TIMEOUT;
    if (event->response) {
        QF_LOG_DEBUG("EXOSIP_REGISTRATION_FAILURE response code = %d", event->response->status_code);
        if (event->response->status_code == 407) status = VellSS_STATUS_REGISTRATION_FAILURE;
    }
    m_ua->Unlock();
    QF_LEAVE();
    return status;
}

namespace {
// The handlers that only let the agent act before the callback.
int DefaultActionThen(ua::CUserAgent* agent, ua::Event* event, const SipData* data, const char* function,
                      int status) {
    if (agent->Lock() != 0) return -1;
    if (agent->DefaultAction(event) < 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "eXosip_default_action failed for CID %d", data->cid);
        agent->Unlock();
        return -1;
    }
    agent->Unlock();
    return status;
}
} // namespace

int CVellSipStack::ProcessEXOSIP_CALL_NOANSWER(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_NOANSWER");
    int status = DefaultActionThen(m_ua.get(), event, data, QF_FUNC, VellSS_STATUS_CALL_NOANSWER);
    QF_LEAVE();
    return status;
}

int CVellSipStack::ProcessEXOSIP_CALL_REDIRECTED(ua::Event*, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_REDIRECTED");
    QF_LEAVE();
    return VellSS_STATUS_CALL_REDIRECTED;
}

int CVellSipStack::ProcessEXOSIP_CALL_REQUESTFAILURE(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_REQUESTFAILURE");
    if (m_ua->Lock() != 0) return -1;
    if (m_ua->DefaultAction(event) < 0) {
        QF_LOG_ERROR("eXosip_default_action failed for CID %d", data->cid);
        m_ua->Unlock();
        return -1;
    }
    m_ua->Unlock();
    if (!event->response) return -1;
    QF_LEAVE();
    return VellSS_STATUS_CALL_REQUESTFAILURE;
}

int CVellSipStack::ProcessEXOSIP_CALL_SERVERFAILURE(ua::Event*, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_SERVERFAILURE");
    QF_LEAVE();
    return VellSS_STATUS_CALL_SERVERFAILURE;
}

int CVellSipStack::ProcessEXOSIP_CALL_GLOBALFAILURE(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_GLOBALFAILURE");
    int status = DefaultActionThen(m_ua.get(), event, data, QF_FUNC, VellSS_STATUS_CALL_GLOBALFAILURE);
    QF_LEAVE();
    return status;
}

int CVellSipStack::ProcessEXOSIP_CALL_ACK(ua::Event*, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_ACK");
    QF_LEAVE();
    return VellSS_STATUS_CALL_ACK;
}

int CVellSipStack::ProcessEXOSIP_CALL_CANCELLED(ua::Event*, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_CANCELLED");
    QF_LEAVE();
    return VellSS_STATUS_CALL_CANCELLED;
}

int CVellSipStack::ProcessEXOSIP_CALL_TIMEOUT(ua::Event*, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_TIMEOUT");
    QF_LEAVE();
    return VellSS_STATUS_CALL_TIMEOUT;
}

int CVellSipStack::ProcessEXOSIP_CALL_MESSAGE_NEW(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_MESSAGE_NEW");
    osip_message_t* request = event->request;
    if (!request || request->status_code != 0 || !request->sip_method || strcmp(request->sip_method, "INFO") != 0) {
        // Only DTMF in INFO concerns the owner.
        QF_LEAVE();
        return kNoCallback;
    }
    int status = ProcessEXOSIP_INFO_Message(event, data);
    QF_LEAVE();
    return status;
}

int CVellSipStack::ProcessEXOSIP_CALL_MESSAGE_REQUESTFAILURE(ua::Event*, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_MESSAGE_REQUESTFAILURE");
    QF_LEAVE();
    return VellSS_STATUS_CALL_MESSAGE_REQUESTFAILURE;
}

int CVellSipStack::ProcessEXOSIP_CALL_CLOSED(ua::Event* event, SipData* data) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_CLOSED");
    int status = DefaultActionThen(m_ua.get(), event, data, QF_FUNC, VellSS_STATUS_CALL_CLOSED);
    QF_LEAVE();
    return status;
}

int CVellSipStack::ProcessEXOSIP_CALL_RELEASED(ua::Event*, SipData*) {
    QF_TRACE("CVellSipStack::ProcessEXOSIP_CALL_RELEASED");
    QF_LEAVE();
    return VellSS_STATUS_CALL_RELEASED;
}

// ---------------------------------------------------------------- shutdown

CVellSipStack::~CVellSipStack() {
    QF_TRACE("CVellSipStack::~CVellSipStack");
    int wasRegistered = registered;
    quitting = 1;

    bool unregistered = true;
    if (wasRegistered == 1 && UnRegister(nullptr, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        QF_LOG_ERROR("Error Occured while unregistering");
        unregistered = false;
    }

    if (unregistered && workerThread.joinable()) {
        // The thread ends at the answer to the unregistration, or at its
        // first idle poll when there was nothing to unregister (woken now
        // rather than a second later).
        if (wasRegistered != 1 && m_ua) m_ua->InterruptWait();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnregisterWaitMs);
        auto ended = [this] { return m_threadEnded.load(); };
        while (!ended() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!ended()) {
            registered = 0;
            if (m_ua) m_ua->InterruptWait();
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIdleWaitMs);
            while (!ended() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    if (sipStarted == 1 || !unregistered) {
        QF_LOG_DEBUG("Quitting eXosip");
        // Ending the agent also releases an event thread still waiting,
        // so the join below is never left hanging.
        registered = 0;
        if (m_ua) m_ua->Quit();
        QF_LOG_DEBUG("eXosip successfully closed");
    }
    if (workerThread.joinable()) workerThread.join();
    m_ua.reset();
    if (logFile) {
        QF_LOG_DEBUG("Closing SIP Log file");
        DisableLibraryTrace(logFile);
        fclose(logFile);
        logFile = nullptr;
    }
    QF_LEAVE();
}
