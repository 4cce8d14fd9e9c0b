// The call operations of the user agent, handed to the call manager.
#include "signalling/ua/CallManager.h"
#include "signalling/ua/UserAgent.h"

namespace ua {

namespace {
CCallManager* Manager(CCallLayer* layer) { return dynamic_cast<CCallManager*>(layer); }
} // namespace

int CUserAgent::CallBuildInitialInvite(osip_message_t** invite, const char* to, const char* from, const char* route,
                                       const char* subject) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CCallManager* calls = Manager(m_calls.get());
    return calls ? calls->BuildInitialInvite(invite, to, from, route, subject) : -1;
}

int CUserAgent::CallSendInitialInvite(osip_message_t* invite) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CCallManager* calls = Manager(m_calls.get());
    if (!calls) {
        if (invite) osip_message_free(invite);
        return -1;
    }
    return calls->SendInitialInvite(invite);
}

int CUserAgent::CallBuildAnswer(int tid, int status, osip_message_t** answer) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CCallManager* calls = Manager(m_calls.get());
    return calls ? calls->BuildAnswer(tid, status, answer) : -1;
}

int CUserAgent::CallSendAnswer(int tid, int status, osip_message_t* answer) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CCallManager* calls = Manager(m_calls.get());
    if (!calls) {
        if (answer) osip_message_free(answer);
        return -1;
    }
    return calls->SendAnswer(tid, status, answer);
}

int CUserAgent::CallBuildAck(int did, osip_message_t** ack) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CCallManager* calls = Manager(m_calls.get());
    return calls ? calls->BuildAck(did, ack) : -1;
}

int CUserAgent::CallSendAck(int did, osip_message_t* ack) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CCallManager* calls = Manager(m_calls.get());
    if (!calls) {
        if (ack) osip_message_free(ack);
        return -1;
    }
    return calls->SendAck(did, ack);
}

int CUserAgent::CallTerminate(int cid, int did) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CCallManager* calls = Manager(m_calls.get());
    return calls ? calls->Terminate(cid, did) : -1;
}

} // namespace ua
