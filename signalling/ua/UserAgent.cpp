#include "signalling/ua/UserAgent.h"

#include "signalling/ua/DigestAuth.h"
#include "signalling/ua/Registration.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace ua {

namespace {

std::once_flag g_parserOnce;
std::once_flag g_traceOnce;

void DropTrace(const char*, int, osip_trace_level_t, const char*, va_list) {}

void InitParser() {
    std::call_once(g_parserOnce, [] { parser_init(); });
}

bool IsOneOf(const char* method, std::initializer_list<const char*> names) {
    if (!method) return false;
    for (const char* n : names)
        if (strcmp(method, n) == 0) return true;
    return false;
}

bool HasToTag(const osip_message_t* msg) {
    osip_generic_param_t* tag = nullptr;
    if (!msg->to) return false;
    osip_to_get_tag(msg->to, &tag);
    return tag && tag->gvalue && *tag->gvalue;
}

std::string RandomToken() {
    char a[16], b[16];
    CUserAgent::GenerateRandom(a, sizeof a);
    CUserAgent::GenerateRandom(b, sizeof b);
    return std::string(a) + b;
}

// Every field the transaction layer and we rely on, present and sane.
bool WellFormed(const osip_message_t* msg) {
    if (!msg || !msg->call_id || !msg->call_id->number || !msg->cseq || !msg->cseq->method ||
        !msg->cseq->number || !msg->from || !msg->from->url || !msg->to || !msg->to->url)
        return false;
    auto* via = static_cast<osip_via_t*>(osip_list_get(&msg->vias, 0));
    if (!via || !via->host || !via->protocol) return false;
    if (MSG_IS_REQUEST(msg)) {
        if (!msg->req_uri || !msg->sip_method || !msg->req_uri->scheme) return false;
        // ACK and CANCEL carry the CSeq method of the request they belong to
        // only in the sense of the number; the method itself must match.
        if (strcmp(msg->cseq->method, msg->sip_method) != 0) return false;
    } else {
        if (msg->status_code < 100 || msg->status_code > 699) return false;
    }
    return true;
}

int ClassOf(int status) { return status / 100; }

// The timed wait of std::recursive_timed_mutex goes through
// pthread_mutex_clocklock, which ThreadSanitizer (GCC 12) does not see: it
// then reports every later unlock as wrong. Polling try_lock keeps the
// bound and stays visible to it.
bool TryLockFor(std::recursive_timed_mutex& lock, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (lock.try_lock()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// The user part of a SIP URI ("" when it has none or does not parse).
std::string UserOf(const std::string& uriText) {
    osip_uri_t* uri = nullptr;
    osip_uri_init(&uri);
    std::string user;
    if (uri && osip_uri_parse(uri, uriText.c_str()) == 0 && uri->username) user = uri->username;
    if (uri) osip_uri_free(uri);
    return user;
}

// The agent a transaction belongs to, through the osip_t it lives in.
CUserAgent* Self(osip_transaction_t* tr) {
    if (!tr || !tr->config) return nullptr;
    return static_cast<CUserAgent*>(osip_get_application_context(static_cast<osip_t*>(tr->config)));
}

} // namespace

CUserAgent::CUserAgent()
    : m_osip(nullptr),
      m_userAgent("quarvoFON"),
      m_quit(false),
      m_started(false),
      m_wakeFd(-1),
      m_nextRid(0),
      m_rxBuffer(nullptr) {}

CUserAgent::~CUserAgent() { Quit(); }

void CUserAgent::QuietLibraryTrace() {
    std::call_once(g_traceOnce, [] {
        osip_trace_initialize_func(TRACE_LEVEL0, &DropTrace);
        for (int level = 0; level < END_TRACE_LEVEL; ++level)
            osip_trace_disable_level(static_cast<osip_trace_level_t>(level));
    });
}

int CUserAgent::Init() {
    if (m_osip) return -1;
    QuietLibraryTrace();
    InitParser();
    if (osip_init(&m_osip) != 0 || !m_osip) {
        m_osip = nullptr;
        return -1;
    }
    osip_set_application_context(m_osip, this);
    osip_set_cb_send_message(m_osip, &CUserAgent::SendCallback);
    for (int t = 0; t < OSIP_MESSAGE_CALLBACK_COUNT; ++t)
        osip_set_message_callback(m_osip, t, &CUserAgent::MessageCallback);
    for (int t = 0; t < OSIP_KILL_CALLBACK_COUNT; ++t)
        osip_set_kill_transaction_callback(m_osip, t, &CUserAgent::KillCallback);
    for (int t = 0; t < OSIP_TRANSPORT_ERROR_CALLBACK_COUNT; ++t)
        osip_set_transport_error_callback(m_osip, t, &CUserAgent::TransportErrorCallback);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_rxBuffer = new char[CUdpTransport::MAX_DATAGRAM + 2];
    m_quit = false;
    return 0;
}

int CUserAgent::ListenAddr(int protocol, const char* address, int port, int family, int secure) {
    if (!m_osip || m_started) return -1;
    if (protocol != IPPROTO_UDP || family != AF_INET || secure != 0) return -1;
    if (m_transport.Open(address, port) != 0) return -1;
    try {
        m_thread = std::thread(&CUserAgent::ThreadMain, this);
    } catch (...) {
        m_transport.Close();
        return -1;
    }
    m_started = true;
    return 0;
}

void CUserAgent::SetUserAgent(const char* text) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    m_userAgent = text ? text : "";
}

int CUserAgent::Lock() { return TryLockFor(m_lock, std::chrono::seconds(10)) ? 0 : -1; }

int CUserAgent::Unlock() {
    m_lock.unlock();
    return 0;
}

void CUserAgent::Wake() {
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(m_wakeFd, &one, sizeof one);
        (void)n;
    }
}

void CUserAgent::Quit() {
    if (m_thread.joinable()) {
        m_quit = true;
        Wake();
        m_thread.join();
    }
    m_quit = true;
    m_queueCv.notify_all();
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    if (m_osip) {
        ReleaseDeadTransactions();
        osip_list_t* lists[] = {&m_osip->osip_ict_transactions, &m_osip->osip_ist_transactions,
                                &m_osip->osip_nict_transactions, &m_osip->osip_nist_transactions};
        for (osip_list_t* list : lists) {
            while (!osip_list_eol(list, 0)) {
                auto* tr = static_cast<osip_transaction_t*>(osip_list_get(list, 0));
                if (osip_transaction_free(tr) != 0) {
                    // Not in the lists after all: take it out by hand.
                    osip_list_remove(list, 0);
                    osip_transaction_free2(tr);
                }
            }
        }
        m_calls.reset();
        osip_release(m_osip);
        m_osip = nullptr;
    }
    m_clients.clear();
    m_registrations.clear();
    m_transport.Close();
    if (m_wakeFd >= 0) close(m_wakeFd);
    m_wakeFd = -1;
    delete[] m_rxBuffer;
    m_rxBuffer = nullptr;
    std::lock_guard<std::mutex> q(m_queueMutex);
    for (Event* e : m_queue) EventFree(e);
    m_queue.clear();
    m_started = false;
}

// ---------------------------------------------------------------- events

Event* CUserAgent::EventWait(int sec, int usec) {
    auto timeout = std::chrono::seconds(sec < 0 ? 0 : sec) + std::chrono::microseconds(usec < 0 ? 0 : usec);
    std::unique_lock<std::mutex> lock(m_queueMutex);
    m_queueCv.wait_for(lock, timeout, [this] { return !m_queue.empty() || m_quit.load() || m_interrupts > 0; });
    if (m_interrupts > 0) {
        --m_interrupts;
        return nullptr;
    }
    if (m_queue.empty()) return nullptr;
    Event* e = m_queue.front();
    m_queue.pop_front();
    return e;
}

void CUserAgent::InterruptWait() {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        ++m_interrupts;
    }
    m_queueCv.notify_all();
}

void CUserAgent::EventFree(Event* event) {
    if (!event) return;
    if (event->request) osip_message_free(event->request);
    if (event->response) osip_message_free(event->response);
    if (event->ack) osip_message_free(event->ack);
    delete event;
}

Event* CUserAgent::NewEvent(int type, osip_transaction_t* tr, osip_message_t* request, osip_message_t* response) {
    auto* e = new Event;
    e->type = type;
    e->tid = tr ? tr->transactionid : 0;
    if (request) osip_message_clone(request, &e->request);
    if (response) osip_message_clone(response, &e->response);
    if (response) {
        snprintf(e->textinfo, sizeof e->textinfo, "%d %s", response->status_code,
                 response->reason_phrase ? response->reason_phrase : "");
    } else if (request && request->sip_method) {
        snprintf(e->textinfo, sizeof e->textinfo, "%s", request->sip_method);
    }
    return e;
}

void CUserAgent::PushEvent(Event* event) {
    if (!event) return;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_queue.size() < MAX_EVENTS && !m_quit) {
            m_queue.push_back(event);
            event = nullptr;
        }
    }
    // A full queue means the owner has stopped reading; dropping is the
    // only bounded choice.
    if (event) EventFree(event);
    m_queueCv.notify_one();
}

size_t CUserAgent::PendingEvents() {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_queue.size();
}

// ---------------------------------------------------------------- thread

void CUserAgent::ThreadMain() {
    while (!m_quit) {
        pollfd fds[2] = {{m_transport.Fd(), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        poll(fds, 2, TICK_MS);
        if (fds[1].revents & POLLIN) {
            uint64_t n;
            ssize_t r = read(m_wakeFd, &n, sizeof n);
            (void)r;
        }
        if (m_quit) break;
        if (!TryLockFor(m_lock, std::chrono::milliseconds(200))) continue;
        ReadSocket();
        ReadErrors();
        Step();
        RefreshRegistrations();
        if (m_calls) m_calls->OnTick();
        ReleaseDeadTransactions();
        m_lock.unlock();
    }
}

void CUserAgent::ReadSocket() {
    // Bounded per loop so that a flood cannot starve the timers.
    for (int i = 0; i < 64; ++i) {
        sockaddr_in src{};
        bool truncated = false;
        long n = m_transport.Receive(m_rxBuffer, CUdpTransport::MAX_DATAGRAM + 1, &src, &truncated);
        if (n <= 0) return;
        if (truncated || n > CUdpTransport::MAX_DATAGRAM) continue;
        HandleDatagram(m_rxBuffer, static_cast<size_t>(n), src);
    }
}

void CUserAgent::ReadErrors() {
    sockaddr_in dst{};
    for (int i = 0; i < 16 && m_transport.ReadError(&dst) == 1; ++i) FailTransactionsTo(dst);
}

void CUserAgent::Step() {
    if (!m_osip) return;
    osip_timers_ict_execute(m_osip);
    osip_timers_ist_execute(m_osip);
    osip_timers_nict_execute(m_osip);
    osip_timers_nist_execute(m_osip);
    osip_ict_execute(m_osip);
    osip_ist_execute(m_osip);
    osip_nict_execute(m_osip);
    osip_nist_execute(m_osip);
    osip_retransmissions_execute(m_osip);
    ReleaseDeadTransactions();
}

void CUserAgent::ReleaseDeadTransactions() {
    std::vector<osip_transaction_t*> dead;
    dead.swap(m_dead);
    for (osip_transaction_t* tr : dead) osip_transaction_free2(tr);
}

// ---------------------------------------------------------------- input

void CUserAgent::HandleDatagram(const char* data, size_t len, const sockaddr_in& src) {
    if (!m_osip || !data || len == 0 || len > CUdpTransport::MAX_DATAGRAM) return;
    // Keep-alives are blank lines.
    size_t i = 0;
    while (i < len && (data[i] == '\r' || data[i] == '\n' || data[i] == ' ' || data[i] == '\t')) ++i;
    if (i == len) return;
    // The parser wants a terminated copy.
    std::string text(data, len);
    osip_event_t* evt = osip_parse(text.c_str(), text.size());
    if (!evt) return;
    osip_message_t* msg = evt->sip;
    if (!WellFormed(msg)) {
        osip_event_free(evt);
        return;
    }
    if (MSG_IS_REQUEST(msg)) {
        std::string ip = AddressText(src);
        osip_message_fix_last_via_header(msg, ip.c_str(), ntohs(src.sin_port));
    }
    if (osip_find_transaction_and_add_event(m_osip, evt) == 0) return;  // taken by a transaction

    if (MSG_IS_RESPONSE(msg)) {
        // A response to nothing we know (or a 2xx retransmission the call
        // layer already handled): drop it.
        if (m_calls && MSG_IS_STATUS_2XX(msg) && msg->cseq && strcmp(msg->cseq->method, "INVITE") == 0)
            m_calls->OnTransactionMessage(OSIP_ICT_STATUS_2XX_RECEIVED_AGAIN, nullptr, msg);
        osip_event_free(evt);
        return;
    }
    if (MSG_IS_ACK(msg)) {
        if (m_calls) m_calls->OnNewRequest(nullptr, msg);
        osip_event_free(evt);
        return;
    }
    HandleNewRequest(evt, src);
}

size_t CUserAgent::ServerTransactionCount() {
    return static_cast<size_t>(osip_list_size(&m_osip->osip_nist_transactions)) +
           static_cast<size_t>(osip_list_size(&m_osip->osip_ist_transactions));
}

size_t CUserAgent::LiveTransactions() {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    if (!m_osip) return 0;
    return ServerTransactionCount() + static_cast<size_t>(osip_list_size(&m_osip->osip_nict_transactions)) +
           static_cast<size_t>(osip_list_size(&m_osip->osip_ict_transactions));
}

void CUserAgent::HandleNewRequest(osip_event_t* evt, const sockaddr_in& src) {
    osip_message_t* msg = evt->sip;
    if (ServerTransactionCount() >= MAX_SERVER_TRANSACTIONS) {
        // Too many requests in flight: answer without keeping state.
        AnswerStray(nullptr, msg, src);
        osip_event_free(evt);
        return;
    }
    osip_transaction_t* tr = osip_create_transaction(m_osip, evt);
    if (!tr) {
        osip_event_free(evt);
        return;
    }
    osip_transaction_set_reserved2(tr, reinterpret_cast<void*>(static_cast<intptr_t>(OWNER_STRAY)));
    osip_transaction_add_event(tr, evt);
    if (m_calls && m_calls->OnNewRequest(tr, msg) == 1) {
        osip_transaction_set_reserved2(tr, reinterpret_cast<void*>(static_cast<intptr_t>(OWNER_CALLS)));
        return;
    }
    AnswerStray(tr, msg, src);
}

void CUserAgent::AnswerStray(osip_transaction_t* tr, osip_message_t* request, const sockaddr_in& src) {
    const char* method = request->sip_method;
    int status;
    bool newMessage = false;
    if (strcmp(method, "OPTIONS") == 0) {
        status = 200;
    } else if (strcmp(method, "MESSAGE") == 0 && !HasToTag(request)) {
        status = 200;
        newMessage = true;
    } else if (HasToTag(request) ||
               IsOneOf(method, {"BYE", "CANCEL", "INFO", "NOTIFY", "PRACK", "UPDATE", "REFER"})) {
        status = 481;  // no such call or transaction here
    } else {
        status = 501;
    }
    osip_message_t* response = nullptr;
    if (BuildResponse(request, status, &response) != 0) return;
    if (status == 200 || status == 501) osip_message_set_allow(response, "INVITE, ACK, CANCEL, BYE, OPTIONS, INFO, MESSAGE");
    if (newMessage && tr) PushEvent(NewEvent(EXOSIP_MESSAGE_NEW, tr, request, nullptr));
    if (tr) {
        SendResponse(tr, response);
    } else {
        SendStateless(response, AddressText(src).c_str(), ntohs(src.sin_port));
        osip_message_free(response);
    }
}

// ---------------------------------------------------------------- output

int CUserAgent::SendCallback(osip_transaction_t* tr, osip_message_t* message, char* host, int port, int) {
    auto* self = tr ? Self(tr) : nullptr;
    if (!self || !message || !host) return -1;
    if (port <= 0) port = 5060;
    if (MSG_IS_RESPONSE(message)) {
        // Answers go where the request came from (the received address
        // put into its Via); a name there (a maddr, say) would make a
        // stranger's datagram hold the agent up in a DNS lookup.
        in_addr numeric{};
        if (inet_pton(AF_INET, host, &numeric) != 1) return -1;
    }
    char* text = nullptr;
    size_t len = 0;
    if (osip_message_to_str(message, &text, &len) != 0 || !text) return -1;
    sockaddr_in to{};
    int rc = CUdpTransport::Resolve(host, port, &to);
    if (rc == 0) rc = self->m_transport.SendTo(to, text, len);
    osip_free(text);
    auto it = self->m_clients.find(tr->transactionid);
    if (it != self->m_clients.end() && rc == 0) {
        it->second.hasDestination = true;
        it->second.destination = to;
    }
    return rc == 0 ? 0 : -1;
}

int CUserAgent::SendStateless(const osip_message_t* message, const char* host, int port) {
    if (!message || !host || port <= 0) return -1;
    char* text = nullptr;
    size_t len = 0;
    if (osip_message_to_str(const_cast<osip_message_t*>(message), &text, &len) != 0 || !text) return -1;
    int rc = m_transport.Send(host, port, text, len);
    osip_free(text);
    return rc;
}

std::string CUserAgent::LocalAddressFor(const char* host) {
    std::string key = host ? host : "";
    auto it = m_localAddresses.find(key);
    if (it != m_localAddresses.end()) return it->second;
    std::string address = m_transport.LocalAddressFor(host);
    if (m_localAddresses.size() < 64) m_localAddresses[key] = address;
    return address;
}

int CUserAgent::BuildRequest(osip_message_t** out, const char* method, const char* requestUri, const char* to,
                             const char* from, const char* route, const char* callId, const char* fromTag,
                             int cseq) {
    if (!out || !method || !to || !from || !m_osip) return -1;
    *out = nullptr;
    if (!requestUri) requestUri = to;
    osip_message_t* m = nullptr;
    if (osip_message_init(&m) != 0) return -1;
    osip_message_set_method(m, osip_strdup(method));
    osip_message_set_version(m, osip_strdup("SIP/2.0"));
    osip_uri_t* ru = nullptr;
    osip_uri_init(&ru);
    if (osip_uri_parse(ru, requestUri) != 0 || !ru->host) {
        osip_uri_free(ru);
        osip_message_free(m);
        return -1;
    }
    osip_message_set_uri(m, ru);
    if (osip_message_set_to(m, to) != 0 || osip_message_set_from(m, from) != 0 || !m->to || !m->from) {
        osip_message_free(m);
        return -1;
    }
    osip_from_set_tag(m->from, osip_strdup(fromTag ? fromTag : RandomToken().c_str()));

    // Next hop: the route's host, else the request URI's.
    std::string hopHost = ru->host;
    if (route && *route) {
        std::string r = route;
        if (r.find(";lr") == std::string::npos && r.find('<') == std::string::npos) r = "<" + r + ";lr>";
        if (osip_message_set_route(m, r.c_str()) != 0) {
            osip_message_free(m);
            return -1;
        }
        auto* rt = static_cast<osip_route_t*>(osip_list_get(&m->routes, 0));
        if (rt && rt->url && rt->url->host) hopHost = rt->url->host;
    }
    std::string local = LocalAddressFor(hopHost.c_str());
    std::string id = callId ? std::string(callId) : RandomToken() + "@" + local;
    osip_message_set_call_id(m, id.c_str());
    char buf[320];
    snprintf(buf, sizeof buf, "%d %s", cseq, method);
    osip_message_set_cseq(m, buf);
    snprintf(buf, sizeof buf, "SIP/2.0/UDP %s:%d;rport;branch=z9hG4bK%s", local.c_str(), LocalPort(),
             RandomToken().c_str());
    osip_message_set_via(m, buf);
    osip_message_set_max_forwards(m, "70");
    if (!m_userAgent.empty()) osip_message_set_user_agent(m, m_userAgent.c_str());
    osip_message_set_content_length(m, "0");
    if (!m->call_id || !m->cseq || osip_list_size(&m->vias) != 1) {
        osip_message_free(m);
        return -1;
    }
    *out = m;
    return 0;
}

int CUserAgent::BuildResponse(const osip_message_t* request, int status, osip_message_t** out) {
    if (!out || !request || status < 100 || status > 699) return -1;
    *out = nullptr;
    osip_message_t* r = nullptr;
    if (osip_message_init(&r) != 0) return -1;
    osip_message_set_version(r, osip_strdup("SIP/2.0"));
    osip_message_set_status_code(r, status);
    const char* reason = osip_message_get_reason(status);
    osip_message_set_reason_phrase(r, osip_strdup(reason ? reason : "Unknown"));
    bool ok = osip_list_clone(&request->vias, &r->vias, (int (*)(void*, void**))osip_via_clone) >= 0 &&
              osip_from_clone(request->from, &r->from) == 0 && osip_to_clone(request->to, &r->to) == 0 &&
              osip_call_id_clone(request->call_id, &r->call_id) == 0 &&
              osip_cseq_clone(request->cseq, &r->cseq) == 0;
    if (!ok) {
        osip_message_free(r);
        return -1;
    }
    if (status > 100 && !HasToTag(r)) osip_to_set_tag(r->to, osip_strdup(RandomToken().c_str()));
    if (!m_userAgent.empty()) osip_message_set_header(r, "Server", m_userAgent.c_str());
    osip_message_set_content_length(r, "0");
    *out = r;
    return 0;
}

int CUserAgent::SendRequest(osip_message_t* request, Owner owner) {
    if (!request || !m_osip) {
        if (request) osip_message_free(request);
        return -1;
    }
    osip_transaction_t* tr = nullptr;
    osip_fsm_type_t type = MSG_IS_INVITE(request) ? ICT : NICT;
    if (osip_transaction_init(&tr, type, m_osip, request) != 0 || !tr) {
        osip_message_free(request);
        return -1;
    }
    osip_transaction_set_reserved2(tr, reinterpret_cast<void*>(static_cast<intptr_t>(owner)));
    if (owner == OWNER_REGISTRATION || owner == OWNER_MESSAGE) {
        ClientInfo info;
        info.owner = owner;
        m_clients[tr->transactionid] = info;
    }
    osip_event_t* evt = osip_new_outgoing_sipmessage(request);
    evt->transactionid = tr->transactionid;
    osip_transaction_add_event(tr, evt);
    Wake();
    return tr->transactionid;
}

int CUserAgent::SendResponse(osip_transaction_t* tr, osip_message_t* response) {
    if (!tr || !response) {
        if (response) osip_message_free(response);
        return -1;
    }
    osip_event_t* evt = osip_new_outgoing_sipmessage(response);
    if (!evt) {
        osip_message_free(response);
        return -1;
    }
    evt->transactionid = tr->transactionid;
    osip_transaction_add_event(tr, evt);
    Wake();
    return 0;
}

osip_transaction_t* CUserAgent::FindTransaction(int tid) {
    if (!m_osip || tid <= 0) return nullptr;
    osip_list_t* lists[] = {&m_osip->osip_ict_transactions, &m_osip->osip_ist_transactions,
                            &m_osip->osip_nict_transactions, &m_osip->osip_nist_transactions};
    for (osip_list_t* list : lists) {
        osip_list_iterator_t it;
        for (auto* tr = static_cast<osip_transaction_t*>(osip_list_get_first(list, &it)); tr;
             tr = static_cast<osip_transaction_t*>(osip_list_get_next(&it)))
            if (tr->transactionid == tid) return tr;
    }
    return nullptr;
}

// ---------------------------------------------------------------- transactions

void CUserAgent::MessageCallback(int type, osip_transaction_t* tr, osip_message_t* message) {
    auto* self = tr ? Self(tr) : nullptr;
    if (!self) return;
    auto owner = static_cast<Owner>(reinterpret_cast<intptr_t>(osip_transaction_get_reserved2(tr)));
    if (owner == OWNER_CALLS) {
        if (self->m_calls) self->m_calls->OnTransactionMessage(type, tr, message);
        return;
    }
    if (owner != OWNER_REGISTRATION && owner != OWNER_MESSAGE) return;
    switch (type) {
    case OSIP_NICT_STATUS_1XX_RECEIVED:
    case OSIP_NICT_STATUS_2XX_RECEIVED:
    case OSIP_NICT_STATUS_3XX_RECEIVED:
    case OSIP_NICT_STATUS_4XX_RECEIVED:
    case OSIP_NICT_STATUS_5XX_RECEIVED:
    case OSIP_NICT_STATUS_6XX_RECEIVED:
        self->OnClientResponse(type, tr, message);
        break;
    case OSIP_NICT_STATUS_TIMEOUT:
        self->OnClientEnded(tr, false);
        break;
    default:
        break;
    }
}

void CUserAgent::KillCallback(int type, osip_transaction_t* tr) {
    auto* self = tr ? Self(tr) : nullptr;
    if (!self) return;
    auto owner = static_cast<Owner>(reinterpret_cast<intptr_t>(osip_transaction_get_reserved2(tr)));
    if (owner == OWNER_CALLS && self->m_calls) self->m_calls->OnTransactionKilled(type, tr);
    if (owner == OWNER_REGISTRATION || owner == OWNER_MESSAGE) self->OnClientEnded(tr, false);
    self->m_clients.erase(tr->transactionid);
    osip_remove_transaction(self->m_osip, tr);
    self->m_dead.push_back(tr);
}

void CUserAgent::TransportErrorCallback(int, osip_transaction_t* tr, int) {
    auto* self = tr ? Self(tr) : nullptr;
    if (!self) return;
    auto owner = static_cast<Owner>(reinterpret_cast<intptr_t>(osip_transaction_get_reserved2(tr)));
    if (owner == OWNER_REGISTRATION || owner == OWNER_MESSAGE) self->OnClientEnded(tr, true);
}

void CUserAgent::OnClientResponse(int, osip_transaction_t* tr, osip_message_t* response) {
    auto it = m_clients.find(tr->transactionid);
    if (it == m_clients.end() || !response) return;
    ClientInfo& info = it->second;
    int cls = ClassOf(response->status_code);
    if (info.owner == OWNER_MESSAGE) {
        if (cls == 1) {
            PushEvent(NewEvent(EXOSIP_MESSAGE_PROCEEDING, tr, tr->orig_request, response));
            return;
        }
        info.finalSeen = true;
        int type = cls == 2   ? EXOSIP_MESSAGE_ANSWERED
                   : cls == 3 ? EXOSIP_MESSAGE_REDIRECTED
                   : cls == 4 ? EXOSIP_MESSAGE_REQUESTFAILURE
                   : cls == 5 ? EXOSIP_MESSAGE_SERVERFAILURE
                              : EXOSIP_MESSAGE_GLOBALFAILURE;
        PushEvent(NewEvent(type, tr, tr->orig_request, response));
        return;
    }
    // Registration.
    if (cls == 1) return;
    info.finalSeen = true;
    CRegistration* reg = FindRegistration(info.rid);
    if (!reg) return;
    Event* e;
    if (cls == 2) {
        reg->OnSuccess(response, CRegistration::Clock::now());
        e = NewEvent(EXOSIP_REGISTRATION_SUCCESS, tr, tr->orig_request, response);
    } else {
        e = NewEvent(EXOSIP_REGISTRATION_FAILURE, tr, tr->orig_request, response);
    }
    e->rid = reg->Rid();
    PushEvent(e);
}

void CUserAgent::OnClientEnded(osip_transaction_t* tr, bool) {
    auto it = m_clients.find(tr->transactionid);
    if (it == m_clients.end()) return;
    ClientInfo& info = it->second;
    if (info.finalSeen || info.reported) return;
    info.reported = true;
    Event* e;
    if (info.owner == OWNER_REGISTRATION) {
        e = NewEvent(EXOSIP_REGISTRATION_FAILURE, tr, tr->orig_request, nullptr);
        e->rid = info.rid;
        if (CRegistration* reg = FindRegistration(info.rid)) reg->StopRefreshing();
    } else {
        e = NewEvent(EXOSIP_MESSAGE_REQUESTFAILURE, tr, tr->orig_request, nullptr);
    }
    PushEvent(e);
}

void CUserAgent::FailTransactionsTo(const sockaddr_in& dst) {
    std::vector<int> failed;
    for (auto& [tid, info] : m_clients) {
        if (!info.hasDestination || info.finalSeen || info.reported) continue;
        if (info.destination.sin_addr.s_addr == dst.sin_addr.s_addr && info.destination.sin_port == dst.sin_port)
            failed.push_back(tid);
    }
    for (int tid : failed) {
        osip_transaction_t* tr = FindTransaction(tid);
        if (!tr) continue;
        OnClientEnded(tr, true);
        // Nobody listens there: stop retransmitting at once.
        m_clients.erase(tid);
        osip_remove_transaction(m_osip, tr);
        m_dead.push_back(tr);
    }
}

// ---------------------------------------------------------------- authentication

int CUserAgent::AddAuthenticationInfo(const char* username, const char* userid, const char* passwd,
                                      const char* ha1, const char* realm) {
    if (!username || !passwd) return -1;
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    AuthInfo info{username, userid ? userid : username, passwd, ha1 ? ha1 : "", realm ? realm : ""};
    for (AuthInfo& a : m_auth) {
        if (strcasecmp(a.realm.c_str(), info.realm.c_str()) == 0) {
            a = info;  // new credentials replace the old ones for that realm
            return 0;
        }
    }
    if (m_auth.size() >= 16) return -1;
    m_auth.push_back(info);
    return 0;
}

int CUserAgent::ClearAuthenticationInfo() {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    m_auth.clear();
    return 0;
}

const CUserAgent::AuthInfo* CUserAgent::FindAuthInfo(const std::string& realm) const {
    for (const AuthInfo& a : m_auth)
        if (strcasecmp(a.realm.c_str(), realm.c_str()) == 0) return &a;
    // The owner names its realm after the server it talks to; a server
    // may name it otherwise. With one account, that account answers.
    for (const AuthInfo& a : m_auth)
        if (a.realm.empty()) return &a;
    return m_auth.empty() ? nullptr : &m_auth.front();
}

int CUserAgent::AuthorizeRequest(const osip_message_t* request, const osip_message_t* challenge,
                                 osip_message_t** out, unsigned nonceCount) {
    if (!request || !challenge || !out) return -1;
    *out = nullptr;
    CDigestAuth::Challenge c;
    if (CDigestAuth::ReadChallenge(challenge, &c) != 0) return -1;
    const AuthInfo* info = FindAuthInfo(c.realm);
    if (!info) return -1;
    osip_message_t* copy = nullptr;
    if (osip_message_clone(request, &copy) != 0 || !copy) return -1;
    char cnonce[32];
    GenerateRandom(cnonce, sizeof cnonce);
    std::string user = info->userid.empty() ? info->username : info->userid;
    if (CDigestAuth::Apply(copy, c, user, info->passwd, info->ha1, nonceCount, cnonce) != 0) {
        osip_message_free(copy);
        return -1;
    }
    *out = copy;
    return 0;
}

int CUserAgent::DefaultAction(Event* event) {
    if (!event || !m_osip) return -1;
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    int status = event->response ? event->response->status_code : 0;
    switch (event->type) {
    case EXOSIP_REGISTRATION_FAILURE: {
        if (status != 401 && status != 407) return 0;
        CRegistration* reg = FindRegistration(event->rid);
        // Only the answer to the request last sent may be answered again.
        if (!reg || reg->LastTid() != event->tid) return -1;
        if (reg->OnChallenge(event->response, MAX_AUTH_ANSWERS) != 0) return -1;
        if (!FindAuthInfo("")) return -1;
        osip_message_t* next = nullptr;
        if (reg->Build(*this, reg->SentExpires(), &next) != 0) return -1;
        int tid = SendRequest(next, OWNER_REGISTRATION);
        if (tid <= 0) return -1;
        m_clients[tid].rid = reg->Rid();
        reg->SetLastTid(tid);
        return 0;
    }
    case EXOSIP_MESSAGE_REQUESTFAILURE: {
        if ((status != 401 && status != 407) || !event->request) return 0;
        // One answer per request: a request that already carried
        // credentials was refused for good.
        if (osip_list_size(&event->request->authorizations) > 0 ||
            osip_list_size(&event->request->proxy_authorizations) > 0)
            return -1;
        osip_message_t* next = nullptr;
        if (AuthorizeRequest(event->request, event->response, &next, 1) != 0) return -1;
        // New branch and CSeq for the new transaction.
        auto* via = static_cast<osip_via_t*>(osip_list_get(&next->vias, 0));
        osip_generic_param_t* branch = nullptr;
        if (via) osip_via_param_get_byname(via, const_cast<char*>("branch"), &branch);
        if (branch) {
            osip_free(branch->gvalue);
            branch->gvalue = osip_strdup(("z9hG4bK" + RandomToken()).c_str());
        }
        if (next->cseq && next->cseq->number) {
            int n = atoi(next->cseq->number) + 1;
            osip_free(next->cseq->number);
            next->cseq->number = osip_strdup(std::to_string(n).c_str());
        }
        osip_message_force_update(next);
        return SendRequest(next, OWNER_MESSAGE) > 0 ? 0 : -1;
    }
    default:
        break;
    }
    if (m_calls) {
        int result = 0;
        if (m_calls->DefaultAction(event, &result) == 1) return result;
    }
    return 0;
}

// ---------------------------------------------------------------- registrations

CRegistration* CUserAgent::FindRegistration(int rid) {
    auto it = m_registrations.find(rid);
    return it == m_registrations.end() ? nullptr : it->second.get();
}

size_t CUserAgent::RegistrationCount() {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    return m_registrations.size();
}

double CUserAgent::SecondsToRefresh(int rid) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CRegistration* reg = FindRegistration(rid);
    if (!reg || !reg->Refreshing()) return -1;
    return std::chrono::duration<double>(reg->RefreshAt() - CRegistration::Clock::now()).count();
}

int CUserAgent::RegisterBuildInitialRegister(const char* from, const char* proxy, const char* contact, int expires,
                                             osip_message_t** reg) {
    if (!from || !proxy || !reg || !m_osip) return -1;
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    *reg = nullptr;
    if (m_registrations.size() >= MAX_REGISTRATIONS) {
        // Forget registrations that no longer renew, oldest first. Their
        // late answers then find no registration and are dropped.
        for (auto it = m_registrations.begin(); it != m_registrations.end();) {
            if (!it->second->Refreshing() && m_registrations.size() >= MAX_REGISTRATIONS / 2)
                it = m_registrations.erase(it);
            else
                ++it;
        }
        if (m_registrations.size() >= MAX_REGISTRATIONS) return -1;
    }
    int rid = ++m_nextRid;
    std::string local = LocalAddressFor("127.0.0.1");
    auto r = std::make_unique<CRegistration>(rid, from, proxy, contact ? contact : "", expires,
                                             RandomToken() + "@" + local, RandomToken());
    std::string user = UserOf(from);
    for (auto it = m_registrations.rbegin(); it != m_registrations.rend(); ++it) {
        if (it->second->Proxy() == proxy && UserOf(it->second->From()) == user) {
            r->InheritChallenge(*it->second);
            break;
        }
    }
    if (r->Build(*this, expires, reg) != 0) return -1;
    m_registrations[rid] = std::move(r);
    return rid;
}

int CUserAgent::RegisterBuildRegister(int rid, int expires, osip_message_t** reg) {
    if (!reg) return -1;
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CRegistration* r = FindRegistration(rid);
    if (!r) return -1;
    return r->Build(*this, expires, reg);
}

int CUserAgent::RegisterSendRegister(int rid, osip_message_t* reg) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    CRegistration* r = FindRegistration(rid);
    if (!r || !m_osip) {
        if (reg) osip_message_free(reg);
        return -1;
    }
    if (!reg && r->Build(*this, r->Expires(), &reg) != 0) return -1;
    // The newest registration of an account at a registrar is the one
    // that renews the binding; one with expiry 0 removes it, and nothing
    // may renew it behind that. The From may name another host than the
    // one registered (the caller URI of the last call), so the user part
    // decides.
    std::string user = UserOf(r->From());
    for (auto& [id, other] : m_registrations)
        if (id != rid && other->Proxy() == r->Proxy() && UserOf(other->From()) == user) other->StopRefreshing();
    if (r->SentExpires() == 0) r->StopRefreshing();
    int tid = SendRequest(reg, OWNER_REGISTRATION);
    if (tid <= 0) return -1;
    m_clients[tid].rid = rid;
    r->SetLastTid(tid);
    return 0;
}

void CUserAgent::RefreshRegistrations() {
    auto now = CRegistration::Clock::now();
    for (auto& [rid, reg] : m_registrations) {
        if (!reg->Refreshing() || now < reg->RefreshAt()) continue;
        reg->StopRefreshing();  // until the answer comes
        osip_message_t* msg = nullptr;
        if (reg->Build(*this, reg->Expires(), &msg) != 0) continue;
        int tid = SendRequest(msg, OWNER_REGISTRATION);
        if (tid <= 0) continue;
        m_clients[tid].rid = rid;
        reg->SetLastTid(tid);
    }
}

// ---------------------------------------------------------------- messages

int CUserAgent::MessageBuildRequest(osip_message_t** message, const char* method, const char* to, const char* from,
                                    const char* route) {
    if (!message || !method || !to || !from) return -1;
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    return BuildRequest(message, method, nullptr, to, from, route, nullptr, nullptr, 1);
}

int CUserAgent::MessageSendRequest(osip_message_t* message) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    return SendRequest(message, OWNER_MESSAGE);
}

// ---------------------------------------------------------------- helpers

int CUserAgent::GuessLocalIp(int family, char* address, int size) {
    if (family != AF_INET || !address || size <= 0) return -1;
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    std::string host;
    // Towards the server we register with, when there is one; otherwise
    // towards the outside world (no packet is sent to find out).
    for (auto& [rid, reg] : m_registrations) {
        osip_uri_t* uri = nullptr;
        osip_uri_init(&uri);
        if (uri && osip_uri_parse(uri, reg->Proxy().c_str()) == 0 && uri->host) host = uri->host;
        if (uri) osip_uri_free(uri);
        if (!host.empty()) break;
    }
    std::string local = LocalAddressFor(host.empty() ? "192.0.2.1" : host.c_str());
    if (static_cast<int>(local.size()) >= size) return -1;
    memcpy(address, local.c_str(), local.size() + 1);
    return 0;
}

int CUserAgent::GenerateRandom(char* buffer, int size) {
    if (!buffer || size <= 0) return -1;
    unsigned int v = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof v) != 1) v = static_cast<unsigned>(random());
    snprintf(buffer, static_cast<size_t>(size), "%u", v);
    return 0;
}

void CUserAgent::SetCallLayer(std::unique_ptr<CCallLayer> layer) {
    std::lock_guard<std::recursive_timed_mutex> guard(m_lock);
    m_calls = std::move(layer);
}

} // namespace ua
