#include "signalling/ua/CallManager.h"

#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace ua {

namespace {

using Clock = CCallManager::Clock;

std::string RandomToken() {
    char a[16], b[16];
    CUserAgent::GenerateRandom(a, sizeof a);
    CUserAgent::GenerateRandom(b, sizeof b);
    return std::string(a) + b;
}

// Text of an osip header through one of its *_to_str functions.
template <typename T>
std::string HeaderText(const T* header, int (*toStr)(const T*, char**)) {
    if (header == nullptr) return {};
    char* text = nullptr;
    if (toStr(header, &text) != 0 || text == nullptr) return {};
    std::string out = text;
    osip_free(text);
    return out;
}

std::string UriText(const osip_uri_t* uri) { return HeaderText<osip_uri_t>(uri, &osip_uri_to_str); }

std::string TagOf(osip_from_t* header) {
    osip_generic_param_t* tag = nullptr;
    if (header != nullptr) osip_from_get_tag(header, &tag);
    return (tag != nullptr && tag->gvalue != nullptr) ? tag->gvalue : "";
}

std::string ParamOf(osip_list_t* params, const char* name) {
    osip_generic_param_t* p = nullptr;
    osip_generic_param_get_byname(params, const_cast<char*>(name), &p);
    return (p != nullptr && p->gvalue != nullptr) ? p->gvalue : "";
}

void SetTag(osip_from_t* header, const std::string& tag) {
    osip_generic_param_t* p = nullptr;
    osip_from_get_tag(header, &p);
    if (p != nullptr) {
        osip_free(p->gvalue);
        p->gvalue = osip_strdup(tag.c_str());
    } else {
        osip_from_set_tag(header, osip_strdup(tag.c_str()));
    }
}

// The whole Call-ID ("number@host").
std::string CallIdText(const osip_message_t* m) {
    if (m == nullptr || m->call_id == nullptr) return {};
    return HeaderText<osip_call_id_t>(m->call_id, &osip_call_id_to_str);
}

const char* Method(const osip_message_t* m) { return (m && m->sip_method) ? m->sip_method : ""; }

int PortOf(const char* text) {
    if (text == nullptr || *text == '\0') return 5060;
    const int port = std::atoi(text);
    return (port > 0 && port <= 65535) ? port : 5060;
}

// Where the responses to request go: its top Via, as the transport fixed
// it (received and rport).
bool ViaDestination(const osip_message_t* request, std::string* host, int* port) {
    auto* via = static_cast<osip_via_t*>(osip_list_get(&request->vias, 0));
    if (via == nullptr || via->host == nullptr) return false;
    const std::string received = ParamOf(&via->via_params, "received");
    const std::string rport = ParamOf(&via->via_params, "rport");
    *host = received.empty() ? via->host : received;
    *port = rport.empty() ? PortOf(via->port) : PortOf(rport.c_str());
    return true;
}

bool IsSdp(const osip_message_t* message) {
    const osip_content_type_t* ct = osip_message_get_content_type(message);
    if (ct == nullptr || ct->type == nullptr) return true;  // a bare body is read as SDP
    return strcasecmp(ct->type, "application") == 0 && ct->subtype != nullptr && strcasecmp(ct->subtype, "sdp") == 0;
}

} // namespace

struct CCallManager::Call {
    int cid = 0;
    int did = 0;
    bool outgoing = false;
    osip_dialog_t* dialog = nullptr;
    std::string remoteSdp;
    std::string localTag;  // incoming: our To tag on every answer
    // Outgoing.
    osip_message_t* invite = nullptr;  // last INVITE sent, for CANCEL and credentials
    int inviteTid = 0;
    bool provisionalSeen = false;
    bool finalSeen = false;
    bool answered = false;
    bool cancelPending = false;
    bool cancelSent = false;
    bool awaitingAuth = false;
    int authAttempts = 0;
    osip_message_t* ack = nullptr;  // our ACK for the 2xx, repeated when the 2xx is
    Clock::time_point inviteSentAt{};
    Clock::time_point cancelSentAt{};
    bool ringingTimeout = false;
    // Incoming.
    osip_message_t* request = nullptr;  // the INVITE received
    int serverTid = 0;
    bool finalSent = false;
    osip_message_t* ok = nullptr;  // our 2xx, repeated until the ACK
    bool acked = false;
    bool byePending = false;
    Clock::time_point okNextAt{};
    Clock::time_point okDeadline{};
    int okIntervalMs = T1_MS;
    // Ending.
    int byeTid = 0;
    bool closing = false;  // BYE sent, waiting for its answer
    bool ended = false;
    bool released = false;
    Clock::time_point releaseAt{};
    Clock::time_point purgeAt{};

    ~Call() {
        if (dialog) osip_dialog_free(dialog);
        if (invite) osip_message_free(invite);
        if (ack) osip_message_free(ack);
        if (request) osip_message_free(request);
        if (ok) osip_message_free(ok);
    }
};

CCallManager::CCallManager(CUserAgent* agent) : m_agent(agent), m_nextCid(0), m_nextDid(0) {}

CCallManager::~CCallManager() = default;

// ---------------------------------------------------------------- lookups

CCallManager::Call* CCallManager::FindCall(int cid) {
    auto it = m_calls.find(cid);
    return it == m_calls.end() ? nullptr : it->second.get();
}

CCallManager::Call* CCallManager::FindCallByDialog(int did) {
    if (did <= 0) return nullptr;
    for (auto& [cid, call] : m_calls)
        if (call->did == did) return call.get();
    return nullptr;
}

CCallManager::Call* CCallManager::FindCallByTransaction(int tid) {
    auto it = m_transactions.find(tid);
    return it == m_transactions.end() ? nullptr : FindCall(it->second);
}

CCallManager::Call* CCallManager::FindCallByRequest(const osip_message_t* request) {
    auto* req = const_cast<osip_message_t*>(request);
    for (auto& [cid, call] : m_calls) {
        if (call->dialog != nullptr && osip_dialog_match_as_uas(call->dialog, req) == 0) return call.get();
    }
    return nullptr;
}

std::string CCallManager::NewestLocalTag() const {
    if (m_calls.empty()) return {};
    const Call* call = m_calls.rbegin()->second.get();
    if (call->dialog != nullptr && call->dialog->local_tag != nullptr) return call->dialog->local_tag;
    return call->localTag;
}

int CCallManager::GetRemoteSdp(int did, std::string* out) {
    Call* call = FindCallByDialog(did);
    if (call == nullptr || out == nullptr || call->remoteSdp.empty()) return -1;
    *out = call->remoteSdp;
    return 0;
}

void CCallManager::RememberSdp(Call* call, const osip_message_t* message) {
    osip_body_t* body = nullptr;
    osip_message_get_body(message, 0, &body);
    if (body == nullptr || body->body == nullptr || body->length == 0 || !IsSdp(message)) return;
    call->remoteSdp.assign(body->body, std::min<size_t>(body->length, 16384));
}

void CCallManager::Report(int type, Call* call, osip_transaction_t* tr, const osip_message_t* request,
                          const osip_message_t* response) {
    if (call->released) return;
    Event* e = m_agent->NewEvent(type, tr, const_cast<osip_message_t*>(request),
                                 const_cast<osip_message_t*>(response));
    e->cid = call->cid;
    e->did = call->did;
    m_agent->PushEvent(e);
}

void CCallManager::EndCall(Call* call) {
    if (call->ended && !call->awaitingAuth) return;
    call->ended = true;
    call->awaitingAuth = false;
    call->closing = false;
    call->releaseAt = Clock::now() + std::chrono::milliseconds(RELEASE_LINGER_MS);
}

bool CCallManager::NextHop(const osip_message_t* request, std::string* host, int* port) {
    auto* route = static_cast<osip_route_t*>(osip_list_get(&request->routes, 0));
    const osip_uri_t* uri = (route != nullptr && route->url != nullptr) ? route->url : request->req_uri;
    if (uri == nullptr || uri->host == nullptr) return false;
    *host = uri->host;
    *port = PortOf(uri->port);
    return true;
}

// ---------------------------------------------------------------- outgoing

int CCallManager::BuildInitialInvite(osip_message_t** invite, const char* to, const char* from, const char* route,
                                     const char* subject) {
    if (invite == nullptr || to == nullptr || from == nullptr) return -1;
    if (m_agent->BuildRequest(invite, "INVITE", nullptr, to, from, route, nullptr, nullptr, 1) != 0) return -1;
    osip_message_t* m = *invite;
    // Contact: the caller's user at our address as the far end sees it.
    const char* user = (m->from && m->from->url && m->from->url->username) ? m->from->url->username : "";
    std::string host;
    int port = 0;
    NextHop(m, &host, &port);
    char contact[600];
    std::snprintf(contact, sizeof contact, "<sip:%s%s%s:%d>", user, *user ? "@" : "",
                  m_agent->LocalAddressFor(host.c_str()).c_str(), m_agent->LocalPort());
    osip_message_set_contact(m, contact);
    osip_message_set_allow(m, "INVITE, ACK, CANCEL, BYE, OPTIONS, INFO, MESSAGE");
    if (subject != nullptr && *subject) osip_message_set_subject(m, subject);
    return 0;
}

int CCallManager::SendInitialInvite(osip_message_t* invite) {
    if (invite == nullptr) return -1;
    if (m_calls.size() >= MAX_CALLS) {
        osip_message_free(invite);
        return -1;
    }
    auto call = std::make_unique<Call>();
    call->outgoing = true;
    if (osip_message_clone(invite, &call->invite) != 0) {
        osip_message_free(invite);
        return -1;
    }
    const int tid = m_agent->SendRequest(invite, CUserAgent::OWNER_CALLS);
    if (tid <= 0) return -1;
    call->cid = ++m_nextCid;
    call->inviteTid = tid;
    call->inviteSentAt = Clock::now();
    m_transactions[tid] = call->cid;
    const int cid = call->cid;
    m_calls[cid] = std::move(call);
    return cid;
}

int CCallManager::SendCancel(Call* call) {
    if (call->cancelSent || call->invite == nullptr) return 0;
    // A CANCEL repeats the INVITE's request URI, top Via, From, To,
    // Call-ID, CSeq number and routes.
    const osip_message_t* inv = call->invite;
    osip_message_t* c = nullptr;
    if (osip_message_init(&c) != 0) return -1;
    osip_message_set_method(c, osip_strdup("CANCEL"));
    osip_message_set_version(c, osip_strdup("SIP/2.0"));
    osip_uri_t* uri = nullptr;
    auto* via = static_cast<osip_via_t*>(osip_list_get(&inv->vias, 0));
    osip_via_t* viaCopy = nullptr;
    bool ok = osip_uri_clone(inv->req_uri, &uri) == 0 && via != nullptr && osip_via_clone(via, &viaCopy) == 0;
    if (ok) {
        osip_message_set_uri(c, uri);
        uri = nullptr;
        osip_list_add(&c->vias, viaCopy, -1);
        ok = osip_from_clone(inv->from, &c->from) == 0 && osip_to_clone(inv->to, &c->to) == 0 &&
             osip_call_id_clone(inv->call_id, &c->call_id) == 0 &&
             osip_list_clone(&inv->routes, &c->routes, (int (*)(void*, void**))osip_route_clone) >= 0;
    }
    if (uri) osip_uri_free(uri);
    if (ok) {
        char cseq[64];
        std::snprintf(cseq, sizeof cseq, "%s CANCEL", inv->cseq->number);
        osip_message_set_cseq(c, cseq);
        osip_message_set_max_forwards(c, "70");
        osip_message_set_content_length(c, "0");
        const std::string& agent = m_agent->UserAgentText();
        if (!agent.empty()) osip_message_set_user_agent(c, agent.c_str());
    }
    if (!ok || c->cseq == nullptr) {
        osip_message_free(c);
        return -1;
    }
    const int tid = m_agent->SendRequest(c, CUserAgent::OWNER_CALLS);
    if (tid <= 0) return -1;
    m_transactions[tid] = call->cid;
    call->cancelSent = true;
    call->cancelPending = false;
    call->cancelSentAt = Clock::now();
    return 0;
}

void CCallManager::OnInviteResponse(Call* call, osip_transaction_t* tr, osip_message_t* response) {
    const int status = response->status_code;
    const bool tagged = !TagOf(response->to).empty();
    if (tagged && status > 100 && status < 300) {
        if (call->dialog == nullptr) {
            if (osip_dialog_init_as_uac(&call->dialog, response) == 0) call->did = ++m_nextDid;
        } else if (call->dialog->state == DIALOG_EARLY) {
            osip_dialog_update_route_set_as_uac(call->dialog, response);
            osip_dialog_update_tag_as_uac(call->dialog, response);
        }
        if (call->dialog != nullptr && status >= 200) osip_dialog_set_state(call->dialog, DIALOG_CONFIRMED);
    }
    if (status < 300) RememberSdp(call, response);

    if (status < 200) {
        call->provisionalSeen = true;
        if (call->cancelPending) SendCancel(call);
        Report(status == 180 ? EXOSIP_CALL_RINGING : EXOSIP_CALL_PROCEEDING, call, tr, call->invite, response);
        return;
    }
    if (status < 300) {
        if (call->answered) {
            if (call->ack) SendDialogAck(call, nullptr);
            return;
        }
        call->answered = true;
        call->finalSeen = true;
        if (call->cancelSent || call->cancelPending || call->ended) {
            // The answer crossed our CANCEL: confirm and end it at once.
            call->cancelPending = false;
            SendDialogAck(call, nullptr);
            SendBye(call);
            return;
        }
        Report(EXOSIP_CALL_ANSWERED, call, tr, call->invite, response);
        return;
    }
    call->finalSeen = true;
    const int type = status < 400   ? EXOSIP_CALL_REDIRECTED
                     : status < 500 ? EXOSIP_CALL_REQUESTFAILURE
                     : status < 600 ? EXOSIP_CALL_SERVERFAILURE
                                    : EXOSIP_CALL_GLOBALFAILURE;
    Report(type, call, tr, call->invite, response);
    if ((status == 401 || status == 407) && !call->cancelSent && call->authAttempts < MAX_AUTH_ATTEMPTS) {
        // The owner's default action may send the INVITE again with
        // credentials; until then the call stays.
        call->ended = true;
        call->awaitingAuth = true;
        call->releaseAt = Clock::now() + std::chrono::milliseconds(RELEASE_LIMIT_MS);
        return;
    }
    EndCall(call);
}

void CCallManager::OnInDialogResponse(Call* call, osip_transaction_t* tr, osip_message_t* response) {
    const char* method = Method(tr->orig_request);
    if (std::strcmp(method, "BYE") != 0) return;  // CANCEL: the INVITE's 487 tells
    if (response != nullptr && response->status_code < 200) return;
    if (response != nullptr) {
        const int status = response->status_code;
        const int type = status < 300   ? EXOSIP_CALL_MESSAGE_ANSWERED
                         : status < 400 ? EXOSIP_CALL_MESSAGE_REDIRECTED
                         : status < 500 ? EXOSIP_CALL_MESSAGE_REQUESTFAILURE
                         : status < 600 ? EXOSIP_CALL_MESSAGE_SERVERFAILURE
                                        : EXOSIP_CALL_MESSAGE_GLOBALFAILURE;
        Report(type, call, tr, tr->orig_request, response);
    }
    EndCall(call);
}

void CCallManager::OnStray2xx(osip_message_t* response) {
    // A repeated 2xx after its transaction ended: our ACK got lost.
    const std::string callId = CallIdText(response);
    if (callId.empty()) return;
    for (auto& [cid, call] : m_calls) {
        if (!call->outgoing || call->ack == nullptr || call->dialog == nullptr) continue;
        if (callId != call->dialog->call_id) continue;
        SendDialogAck(call.get(), nullptr);
        return;
    }
}

// ---------------------------------------------------------------- in dialog

int CCallManager::BuildInDialogRequest(Call* call, const char* method, osip_message_t** out) {
    osip_dialog_t* d = call->dialog;
    if (d == nullptr || d->local_uri == nullptr || d->remote_uri == nullptr || d->local_uri->url == nullptr) return -1;
    const bool ack = std::strcmp(method, "ACK") == 0;
    const std::string target = (d->remote_contact_uri != nullptr && d->remote_contact_uri->url != nullptr)
                                   ? UriText(d->remote_contact_uri->url)
                                   : UriText(d->remote_uri->url);
    const std::string to = HeaderText<osip_from_t>(d->remote_uri, &osip_from_to_str);
    std::string from = "<" + UriText(d->local_uri->url) + ">";
    if (d->local_uri->displayname != nullptr) from = std::string(d->local_uri->displayname) + " " + from;
    int cseq;
    if (ack) {
        cseq = (call->invite && call->invite->cseq && call->invite->cseq->number) ? std::atoi(call->invite->cseq->number)
                                                                                 : d->local_cseq;
    } else {
        cseq = ++d->local_cseq;
    }
    if (target.empty() || to.empty()) return -1;
    if (m_agent->BuildRequest(out, method, target.c_str(), to.c_str(), from.c_str(), nullptr, d->call_id,
                              d->local_tag, cseq) != 0)
        return -1;
    osip_list_iterator_t it;
    for (auto* r = static_cast<osip_route_t*>(osip_list_get_first(&d->route_set, &it)); r != nullptr;
         r = static_cast<osip_route_t*>(osip_list_get_next(&it))) {
        const std::string text = HeaderText<osip_from_t>(r, &osip_from_to_str);
        if (!text.empty()) osip_message_set_route(*out, text.c_str());
    }
    return 0;
}

int CCallManager::SendDialogAck(Call* call, osip_message_t* ack) {
    if (ack != nullptr) {
        if (call->ack) osip_message_free(call->ack);
        call->ack = ack;
    } else if (call->ack == nullptr) {
        if (BuildInDialogRequest(call, "ACK", &call->ack) != 0) return -1;
    }
    std::string host;
    int port = 0;
    if (!NextHop(call->ack, &host, &port)) return -1;
    return m_agent->SendStateless(call->ack, host.c_str(), port) == 0 ? 0 : -1;
}

int CCallManager::SendBye(Call* call) {
    if (call->closing || call->dialog == nullptr) {
        if (call->dialog == nullptr) EndCall(call);
        return call->closing ? 0 : -1;
    }
    osip_message_t* bye = nullptr;
    if (BuildInDialogRequest(call, "BYE", &bye) != 0) {
        EndCall(call);
        return -1;
    }
    const int tid = m_agent->SendRequest(bye, CUserAgent::OWNER_CALLS);
    if (tid <= 0) {
        EndCall(call);
        return -1;
    }
    m_transactions[tid] = call->cid;
    call->byeTid = tid;
    call->closing = true;
    call->byePending = false;
    if (call->ok) {
        osip_message_free(call->ok);
        call->ok = nullptr;
    }
    // Should the answer never come, the call still goes.
    call->releaseAt = Clock::now() + std::chrono::milliseconds(RELEASE_LIMIT_MS);
    return 0;
}

int CCallManager::BuildAck(int did, osip_message_t** ack) {
    Call* call = FindCallByDialog(did);
    if (call == nullptr || ack == nullptr || !call->outgoing || !call->answered) return -1;
    return BuildInDialogRequest(call, "ACK", ack);
}

int CCallManager::SendAck(int did, osip_message_t* ack) {
    Call* call = FindCallByDialog(did);
    if (call == nullptr || !call->outgoing) {
        if (ack) osip_message_free(ack);
        return -1;
    }
    return SendDialogAck(call, ack);
}

// ---------------------------------------------------------------- answers

int CCallManager::BuildAnswer(int tid, int status, osip_message_t** answer) {
    if (answer == nullptr || status < 100 || status > 699) return -1;
    *answer = nullptr;
    osip_transaction_t* tr = m_agent->FindTransaction(tid);
    // Only a request of the peer can be answered.
    if (tr == nullptr || tr->orig_request == nullptr || (tr->ctx_type != IST && tr->ctx_type != NIST)) return -1;
    if (m_agent->BuildResponse(tr->orig_request, status, answer) != 0) return -1;
    Call* call = FindCallByTransaction(tid);
    if (call != nullptr && !call->outgoing && tid == call->serverTid && status > 100) {
        // Every answer to the INVITE carries the same tag and our Contact.
        SetTag((*answer)->to, call->localTag);
        const osip_message_t* req = call->request;
        const char* user = (req->req_uri && req->req_uri->username) ? req->req_uri->username : "";
        std::string host;
        int port = 0;
        ViaDestination(req, &host, &port);
        char contact[600];
        std::snprintf(contact, sizeof contact, "<sip:%s%s%s:%d>", user, *user ? "@" : "",
                      m_agent->LocalAddressFor(host.c_str()).c_str(), m_agent->LocalPort());
        osip_message_set_contact(*answer, contact);
        if (status < 300) osip_message_set_allow(*answer, "INVITE, ACK, CANCEL, BYE, OPTIONS, INFO, MESSAGE");
    }
    return 0;
}

int CCallManager::SendAnswer(int tid, int status, osip_message_t* answer) {
    if (answer == nullptr && BuildAnswer(tid, status, &answer) != 0) return -1;
    osip_transaction_t* tr = m_agent->FindTransaction(tid);
    if (tr == nullptr || (tr->ctx_type != IST && tr->ctx_type != NIST)) {
        osip_message_free(answer);
        return -1;
    }
    status = answer->status_code;
    Call* call = FindCallByTransaction(tid);
    const bool initialInvite = call != nullptr && !call->outgoing && tid == call->serverTid;
    if (initialInvite) {
        if (call->finalSent) {
            // The INVITE was answered already (cancelled in between).
            osip_message_free(answer);
            return -1;
        }
        if (status > 100 && status < 300 && call->dialog == nullptr) {
            if (osip_dialog_init_as_uas(&call->dialog, call->request, answer) != 0) call->dialog = nullptr;
        }
        if (status >= 200) call->finalSent = true;
        if (status >= 200 && status < 300) {
            if (call->dialog) osip_dialog_set_state(call->dialog, DIALOG_CONFIRMED);
            if (call->ok) osip_message_free(call->ok);
            call->ok = nullptr;
            osip_message_clone(answer, &call->ok);
            call->okIntervalMs = T1_MS;
            call->okNextAt = Clock::now() + std::chrono::milliseconds(T1_MS);
            call->okDeadline = Clock::now() + std::chrono::milliseconds(ACK_WAIT_MS);
        }
    }
    if (m_agent->SendResponse(tr, answer) != 0) return -1;
    if (initialInvite && status >= 300) EndCall(call);
    return 0;
}

int CCallManager::AnswerStateless(osip_transaction_t* tr, const osip_message_t* request, int status) {
    osip_message_t* r = nullptr;
    if (m_agent->BuildResponse(request, status, &r) != 0) return -1;
    return m_agent->SendResponse(tr, r);
}

// ---------------------------------------------------------------- requests

int CCallManager::OnNewRequest(osip_transaction_t* tr, osip_message_t* request) {
    if (request == nullptr) return 0;
    const char* method = Method(request);
    if (tr == nullptr) {
        if (std::strcmp(method, "ACK") == 0) HandleAck(FindCallByRequest(request), request);
        return 1;
    }
    if (std::strcmp(method, "CANCEL") == 0) return HandleCancel(tr, request);
    if (std::strcmp(method, "INVITE") == 0 && TagOf(request->to).empty()) return HandleInvite(tr, request);
    Call* call = FindCallByRequest(request);
    if (call == nullptr) return 0;  // no such dialog: the agent answers 481
    return HandleInDialog(call, tr, request);
}

int CCallManager::HandleInvite(osip_transaction_t* tr, osip_message_t* request) {
    size_t live = 0;
    for (auto& [cid, call] : m_calls)
        if (!call->released) ++live;
    if (live >= MAX_CALLS) {
        AnswerStateless(tr, request, 486);
        return 1;
    }
    auto call = std::make_unique<Call>();
    if (osip_message_clone(request, &call->request) != 0) return 0;
    call->cid = ++m_nextCid;
    call->did = ++m_nextDid;
    call->serverTid = tr->transactionid;
    call->localTag = RandomToken();
    RememberSdp(call.get(), request);
    Call* c = call.get();
    m_transactions[tr->transactionid] = c->cid;
    m_calls[c->cid] = std::move(call);
    AnswerStateless(tr, request, 100);
    Report(EXOSIP_CALL_INVITE, c, tr, request, nullptr);
    return 1;
}

int CCallManager::HandleCancel(osip_transaction_t* tr, osip_message_t* request) {
    auto* via = static_cast<osip_via_t*>(osip_list_get(&request->vias, 0));
    const std::string branch = via ? ParamOf(&via->via_params, "branch") : "";
    const std::string callId = CallIdText(request);
    Call* call = nullptr;
    for (auto& [cid, c] : m_calls) {
        if (c->outgoing || c->request == nullptr || callId != CallIdText(c->request)) continue;
        auto* v = static_cast<osip_via_t*>(osip_list_get(&c->request->vias, 0));
        if (v != nullptr && ParamOf(&v->via_params, "branch") == branch) {
            call = c.get();
            break;
        }
    }
    if (call == nullptr) return 0;
    AnswerStateless(tr, request, 200);
    // The CANCEL is answered before the INVITE's 487 goes out.
    osip_nist_execute(m_agent->Osip());
    if (call->finalSent) return 1;  // too late: the call stands
    osip_message_t* terminated = nullptr;
    if (BuildAnswer(call->serverTid, 487, &terminated) == 0) SendAnswer(call->serverTid, 487, terminated);
    call->finalSent = true;
    Report(EXOSIP_CALL_CANCELLED, call, tr, request, nullptr);
    EndCall(call);
    return 1;
}

int CCallManager::HandleInDialog(Call* call, osip_transaction_t* tr, osip_message_t* request) {
    const char* method = Method(request);
    const bool bye = std::strcmp(method, "BYE") == 0;
    if (call->ended && !call->awaitingAuth) {
        AnswerStateless(tr, request, bye ? 200 : 481);
        return 1;
    }
    if (call->dialog) osip_dialog_update_osip_cseq_as_uas(call->dialog, request);
    m_transactions[tr->transactionid] = call->cid;
    if (bye) {
        AnswerStateless(tr, request, 200);
        if (!call->outgoing && !call->finalSent) {
            osip_message_t* terminated = nullptr;
            if (BuildAnswer(call->serverTid, 487, &terminated) == 0) SendAnswer(call->serverTid, 487, terminated);
        }
        if (call->ok) {
            osip_message_free(call->ok);
            call->ok = nullptr;
        }
        Report(EXOSIP_CALL_CLOSED, call, tr, request, nullptr);
        EndCall(call);
        return 1;
    }
    if (std::strcmp(method, "INVITE") == 0) {
        Report(EXOSIP_CALL_REINVITE, call, tr, request, nullptr);
        return 1;
    }
    if (std::strcmp(method, "INFO") != 0) {
        // Nothing else inside a call needs the owner; answer it here.
        const bool known = std::strcmp(method, "MESSAGE") == 0 || std::strcmp(method, "OPTIONS") == 0 ||
                           std::strcmp(method, "NOTIFY") == 0;
        AnswerStateless(tr, request, known ? 200 : 501);
    }
    Report(EXOSIP_CALL_MESSAGE_NEW, call, tr, request, nullptr);
    return 1;
}

void CCallManager::HandleAck(Call* call, osip_message_t* ack) {
    if (call == nullptr || call->outgoing || call->acked || !call->finalSent) return;
    call->acked = true;
    if (call->ok) {
        osip_message_free(call->ok);
        call->ok = nullptr;
    }
    RememberSdp(call, ack);
    if (!call->ended) Report(EXOSIP_CALL_ACK, call, nullptr, ack, nullptr);
    if (call->byePending) SendBye(call);
}

// ---------------------------------------------------------------- ending

int CCallManager::Terminate(int cid, int did) {
    Call* call = cid > 0 ? FindCall(cid) : FindCallByDialog(did);
    if (call == nullptr || call->released || (call->ended && !call->awaitingAuth) || call->closing) return -1;
    if (call->outgoing) {
        if (call->answered) return SendBye(call);
        if (call->awaitingAuth) {
            EndCall(call);
            return 0;
        }
        if (call->provisionalSeen) return SendCancel(call);
        // A CANCEL may only follow a provisional answer; it goes then.
        call->cancelPending = true;
        return 0;
    }
    if (!call->finalSent) {
        osip_message_t* decline = nullptr;
        if (BuildAnswer(call->serverTid, 603, &decline) != 0) return -1;
        return SendAnswer(call->serverTid, 603, decline);
    }
    if (!call->acked && call->ok != nullptr) {
        // Our 2xx is not acknowledged yet; the BYE waits for the ACK.
        call->byePending = true;
        return 0;
    }
    return SendBye(call);
}

// ---------------------------------------------------------------- transactions

void CCallManager::OnTransactionMessage(int type, osip_transaction_t* tr, osip_message_t* message) {
    if (type == OSIP_ICT_STATUS_2XX_RECEIVED_AGAIN && tr == nullptr) {
        OnStray2xx(message);
        return;
    }
    if (tr == nullptr) return;
    Call* call = FindCallByTransaction(tr->transactionid);
    if (call == nullptr || call->released) return;
    switch (type) {
    case OSIP_ICT_STATUS_1XX_RECEIVED:
    case OSIP_ICT_STATUS_2XX_RECEIVED:
    case OSIP_ICT_STATUS_2XX_RECEIVED_AGAIN:
    case OSIP_ICT_STATUS_3XX_RECEIVED:
    case OSIP_ICT_STATUS_4XX_RECEIVED:
    case OSIP_ICT_STATUS_5XX_RECEIVED:
    case OSIP_ICT_STATUS_6XX_RECEIVED:
        if (message != nullptr && tr->transactionid == call->inviteTid) OnInviteResponse(call, tr, message);
        break;
    case OSIP_ICT_STATUS_TIMEOUT:
        if (tr->transactionid == call->inviteTid && !call->finalSeen) {
            call->finalSeen = true;
            Report(EXOSIP_CALL_NOANSWER, call, tr, call->invite, nullptr);
            EndCall(call);
        }
        break;
    case OSIP_NICT_STATUS_1XX_RECEIVED:
    case OSIP_NICT_STATUS_2XX_RECEIVED:
    case OSIP_NICT_STATUS_3XX_RECEIVED:
    case OSIP_NICT_STATUS_4XX_RECEIVED:
    case OSIP_NICT_STATUS_5XX_RECEIVED:
    case OSIP_NICT_STATUS_6XX_RECEIVED:
        OnInDialogResponse(call, tr, message);
        break;
    case OSIP_NICT_STATUS_TIMEOUT:
        OnInDialogResponse(call, tr, nullptr);
        break;
    default:
        break;
    }
}

void CCallManager::OnTransactionKilled(int /*type*/, osip_transaction_t* tr) {
    if (tr != nullptr) m_transactions.erase(tr->transactionid);
}

void CCallManager::OnTick() {
    const auto now = Clock::now();
    for (auto it = m_calls.begin(); it != m_calls.end();) {
        Call* call = it->second.get();
        if (call->released) {
            if (now >= call->purgeAt) {
                for (auto t = m_transactions.begin(); t != m_transactions.end();) {
                    if (t->second == call->cid) t = m_transactions.erase(t);
                    else ++t;
                }
                it = m_calls.erase(it);
                continue;
            }
            ++it;
            continue;
        }
        // Our 2xx, repeated until the ACK comes.
        if (call->ok != nullptr && !call->acked) {
            if (now >= call->okDeadline) {
                osip_message_free(call->ok);
                call->ok = nullptr;
                Report(EXOSIP_CALL_TIMEOUT, call, nullptr, call->request, nullptr);
                SendBye(call);
            } else if (now >= call->okNextAt) {
                std::string host;
                int port = 0;
                if (ViaDestination(call->request, &host, &port)) m_agent->SendStateless(call->ok, host.c_str(), port);
                call->okIntervalMs = std::min(2 * call->okIntervalMs, static_cast<int>(T2_MS));
                call->okNextAt = now + std::chrono::milliseconds(call->okIntervalMs);
            }
        }
        if (call->outgoing && !call->finalSeen && !call->ended) {
            if (call->cancelSent && now - call->cancelSentAt > std::chrono::milliseconds(ACK_WAIT_MS)) {
                // Nobody answers the CANCEL either: give the call up.
                EndCall(call);
            } else if (!call->cancelSent && call->provisionalSeen && !call->ringingTimeout &&
                       now - call->inviteSentAt > std::chrono::seconds(RINGING_LIMIT_S)) {
                call->ringingTimeout = true;
                Report(EXOSIP_CALL_TIMEOUT, call, nullptr, call->invite, nullptr);
                SendCancel(call);
            }
        }
        if (call->ended && now >= call->releaseAt) {
            Report(EXOSIP_CALL_RELEASED, call, nullptr, nullptr, nullptr);
            call->released = true;
            call->purgeAt = now + std::chrono::milliseconds(ACK_WAIT_MS);
        } else if (call->closing && now >= call->releaseAt) {
            EndCall(call);
        }
        ++it;
    }
}

int CCallManager::DefaultAction(Event* event, int* result) {
    if (event == nullptr || result == nullptr) return 0;
    const int status = event->response ? event->response->status_code : 0;
    const bool callFailure = event->type == EXOSIP_CALL_REQUESTFAILURE;
    if (!callFailure || (status != 401 && status != 407)) return 0;
    Call* call = FindCall(event->cid);
    *result = -1;
    if (call == nullptr || !call->awaitingAuth || call->invite == nullptr || event->tid != call->inviteTid) return 1;
    ++call->authAttempts;
    osip_message_t* next = nullptr;
    if (m_agent->AuthorizeRequest(call->invite, event->response, &next, 1) != 0) {
        EndCall(call);
        return 1;
    }
    // A new transaction: fresh branch, next CSeq.
    auto* via = static_cast<osip_via_t*>(osip_list_get(&next->vias, 0));
    osip_generic_param_t* branch = nullptr;
    if (via) osip_via_param_get_byname(via, const_cast<char*>("branch"), &branch);
    if (branch) {
        osip_free(branch->gvalue);
        branch->gvalue = osip_strdup(("z9hG4bK" + RandomToken()).c_str());
    }
    const int cseq = std::atoi(next->cseq->number) + 1;
    osip_free(next->cseq->number);
    next->cseq->number = osip_strdup(std::to_string(cseq).c_str());
    osip_message_force_update(next);
    osip_message_t* copy = nullptr;
    if (osip_message_clone(next, &copy) != 0) {
        osip_message_free(next);
        EndCall(call);
        return 1;
    }
    const int tid = m_agent->SendRequest(next, CUserAgent::OWNER_CALLS);
    if (tid <= 0) {
        osip_message_free(copy);
        EndCall(call);
        return 1;
    }
    osip_message_free(call->invite);
    call->invite = copy;
    call->inviteTid = tid;
    call->inviteSentAt = Clock::now();
    call->provisionalSeen = call->finalSeen = false;
    call->ended = call->awaitingAuth = false;
    if (call->dialog) {
        // The challenge came with a tag of its own; the new INVITE opens
        // the dialog afresh.
        osip_dialog_free(call->dialog);
        call->dialog = nullptr;
    }
    m_transactions[tid] = call->cid;
    *result = 0;
    return 1;
}

} // namespace ua
