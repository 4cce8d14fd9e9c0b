#pragma once
// Our SIP user agent on libosip2: the layer CVellSipStack speaks to.
//
// Layers, bottom up:
//   CUdpTransport   one UDP socket (IPv4), ICMP errors read back
//   transactions    libosip2's four state machines, driven by our thread
//   CRegistration   REGISTER with digest answers and refresh before expiry
//   CCallLayer      dialogs and calls, plugged in by the call code
//   CUserAgent      the operations below and the event queue
//
// Threads: the agent runs its own thread that reads the socket, feeds and
// executes the transactions and fires the timers, always under the
// agent's recursive lock. The owner takes the same lock (Lock/Unlock)
// around its calls and reads events with EventWait on its own thread.
//
// Results follow the usual convention of this layer: 0 (or a positive
// identifier) is success, negative is failure.
#include "signalling/ua/UaEvent.h"
#include "signalling/ua/UdpTransport.h"

#include <osip2/osip.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ua {

class CRegistration;
class CUserAgent;

// Hooks for the call code. Every hook runs on the agent's thread with the
// agent's lock held.
class CCallLayer {
public:
    virtual ~CCallLayer() = default;
    // A new request that matched no transaction; tr is the server
    // transaction just created for it (null for ACK). Return 1 when the
    // layer takes it (it then answers it), 0 to let the agent answer.
    virtual int OnNewRequest(osip_transaction_t* tr, osip_message_t* request) = 0;
    // Message and end-of-transaction callbacks of transactions the layer
    // owns (see CUserAgent::SendRequest and OWNER_CALLS).
    virtual void OnTransactionMessage(int type, osip_transaction_t* tr, osip_message_t* message) = 0;
    virtual void OnTransactionKilled(int type, osip_transaction_t* tr) = 0;
    // Called once per loop of the agent's thread (about every 20 ms).
    virtual void OnTick() {}
    // Default action for a call event. Return 1 and store the result
    // when the layer dealt with the event, 0 to decline it.
    virtual int DefaultAction(Event* event, int* result) = 0;
};

class CUserAgent {
public:
    // Who owns a transaction; kept in the transaction's reserved2 slot
    // (the others are free for the call layer).
    enum Owner { OWNER_NONE = 0, OWNER_REGISTRATION, OWNER_MESSAGE, OWNER_STRAY, OWNER_CALLS };
    enum {
        MAX_EVENTS = 512,               // events waiting for the owner
        MAX_SERVER_TRANSACTIONS = 256,  // beyond this, stray requests are answered statelessly
        MAX_AUTH_ANSWERS = 2,           // challenges answered in a row with the same credentials
        MAX_REGISTRATIONS = 32,         // registrations remembered
        TICK_MS = 20,
    };

    CUserAgent();
    ~CUserAgent();
    CUserAgent(const CUserAgent&) = delete;
    CUserAgent& operator=(const CUserAgent&) = delete;

    // ---- operations the session protocol uses ----
    int Init();
    // Only UDP over IPv4 (protocol IPPROTO_UDP, family AF_INET) without TLS.
    int ListenAddr(int protocol, const char* address, int port, int family, int secure);
    void SetUserAgent(const char* text);
    int Lock();
    int Unlock();
    // Next event, waiting at most sec seconds and usec microseconds; null
    // when none came or the agent has quit.
    Event* EventWait(int sec, int usec);
    static void EventFree(Event* event);
    // Makes one EventWait (the one waiting now, or the next) return null
    // at once, so that its caller can look at its own state.
    void InterruptWait();
    // Answers what the agent can answer by itself for this event: a 401
    // or 407 to REGISTER or MESSAGE with the stored credentials.
    int DefaultAction(Event* event);
    int AddAuthenticationInfo(const char* username, const char* userid, const char* passwd, const char* ha1,
                              const char* realm);
    int ClearAuthenticationInfo();
    // Builds a REGISTER for a new registration; returns its id (> 0).
    int RegisterBuildInitialRegister(const char* from, const char* proxy, const char* contact, int expires,
                                     osip_message_t** reg);
    // Builds the next REGISTER of an existing registration.
    int RegisterBuildRegister(int rid, int expires, osip_message_t** reg);
    // Sends a REGISTER built above (null: build the next one); takes it.
    int RegisterSendRegister(int rid, osip_message_t* reg);
    // An out-of-dialog request such as MESSAGE; route may be null.
    int MessageBuildRequest(osip_message_t** message, const char* method, const char* to, const char* from,
                            const char* route);
    // Sends it (takes it); returns the transaction id (> 0).
    int MessageSendRequest(osip_message_t* message);
    // The local address used towards the outside world (or towards the
    // server once one is known), dotted text.
    int GuessLocalIp(int family, char* address, int size);
    // The library writes its trace to standard output unless told
    // otherwise; the first call in the process turns that off. Later calls
    // do nothing, so a trace file set up afterwards stays in force.
    static void QuietLibraryTrace();
    // Writes a random unsigned number as decimal text.
    static int GenerateRandom(char* buffer, int size);
    void Quit();

    // Call operations: provided by the call code (ua/ call files).
    int CallBuildInitialInvite(osip_message_t** invite, const char* to, const char* from, const char* route,
                               const char* subject);
    int CallSendInitialInvite(osip_message_t* invite);
    int CallBuildAnswer(int tid, int status, osip_message_t** answer);
    int CallSendAnswer(int tid, int status, osip_message_t* answer);
    int CallBuildAck(int did, osip_message_t** ack);
    int CallSendAck(int did, osip_message_t* ack);
    int CallTerminate(int cid, int did);

    // ---- building blocks for the call layer (lock held) ----
    void SetCallLayer(std::unique_ptr<CCallLayer> layer);
    CCallLayer* CallLayer() { return m_calls.get(); }
    osip_t* Osip() { return m_osip; }
    CUdpTransport& Transport() { return m_transport; }
    const std::string& UserAgentText() const { return m_userAgent; }
    // Local address towards host and our port, for Via and Contact.
    std::string LocalAddressFor(const char* host);
    int LocalPort() const { return m_transport.LocalPort(); }
    // A new request with Via (rport, fresh branch), Max-Forwards, From
    // (with a tag), To, Call-ID, CSeq, User-Agent, Content-Length 0. The
    // next hop is route when given, else the request URI.
    // requestUri null means to; callId and fromTag null mean fresh ones.
    int BuildRequest(osip_message_t** out, const char* method, const char* requestUri, const char* to,
                     const char* from, const char* route, const char* callId, const char* fromTag, int cseq);
    // A response to request carrying its Via, From, To (a tag added for
    // codes above 100 when it has none), Call-ID and CSeq.
    int BuildResponse(const osip_message_t* request, int status, osip_message_t** out);
    // Starts a client transaction for request (taken); returns its id.
    int SendRequest(osip_message_t* request, Owner owner);
    // Sends response on server transaction tr (taken).
    int SendResponse(osip_transaction_t* tr, osip_message_t* response);
    // Sends a message outside any transaction (ACK for 2xx, stateless
    // answers). The message stays the caller's.
    int SendStateless(const osip_message_t* message, const char* host, int port);
    // Finds a live transaction by id (null when gone).
    osip_transaction_t* FindTransaction(int tid);
    // Answers a 401/407 on a copy of request with the stored credentials;
    // nonceCount as in CDigestAuth. 0 with *out, or -1.
    int AuthorizeRequest(const osip_message_t* request, const osip_message_t* challenge, osip_message_t** out,
                         unsigned nonceCount);
    Event* NewEvent(int type, osip_transaction_t* tr, osip_message_t* request, osip_message_t* response);
    void PushEvent(Event* event);
    void Wake();

    // Feeds one datagram as if it had arrived from src (used by the thread,
    // the fuzz target and the tests). Lock held.
    void HandleDatagram(const char* data, size_t len, const sockaddr_in& src);
    // Runs transactions and timers once. Lock held.
    void Step();

    // Observers for tests.
    size_t PendingEvents();
    size_t LiveTransactions();
    size_t RegistrationCount();
    // Seconds until the registration rid refreshes, -1 when none is due.
    double SecondsToRefresh(int rid);

private:
    friend class CRegistration;
    struct AuthInfo {
        std::string username, userid, passwd, ha1, realm;
    };

    static int SendCallback(osip_transaction_t* tr, osip_message_t* message, char* host, int port, int socket);
    static void MessageCallback(int type, osip_transaction_t* tr, osip_message_t* message);
    static void KillCallback(int type, osip_transaction_t* tr);
    static void TransportErrorCallback(int type, osip_transaction_t* tr, int error);

    void ThreadMain();
    void ReadSocket();
    void ReadErrors();
    void ReleaseDeadTransactions();
    void RefreshRegistrations();
    void HandleNewRequest(osip_event_t* event, const sockaddr_in& src);
    void AnswerStray(osip_transaction_t* tr, osip_message_t* request, const sockaddr_in& src);
    void OnClientResponse(int type, osip_transaction_t* tr, osip_message_t* response);
    void OnClientEnded(osip_transaction_t* tr, bool transportError);
    void FailTransactionsTo(const sockaddr_in& dst);
    const AuthInfo* FindAuthInfo(const std::string& realm) const;
    CRegistration* FindRegistration(int rid);
    size_t ServerTransactionCount();

    osip_t* m_osip;
    CUdpTransport m_transport;
    std::string m_userAgent;
    std::recursive_timed_mutex m_lock;
    std::thread m_thread;
    std::atomic<bool> m_quit;
    std::atomic<bool> m_started;
    int m_wakeFd;

    std::mutex m_queueMutex;
    std::condition_variable m_queueCv;
    std::deque<Event*> m_queue;
    int m_interrupts = 0;

    std::vector<AuthInfo> m_auth;
    std::map<int, std::unique_ptr<CRegistration>> m_registrations;
    int m_nextRid;
    std::vector<osip_transaction_t*> m_dead;
    struct ClientInfo {
        Owner owner = OWNER_NONE;
        int rid = 0;
        bool finalSeen = false;  // a final response arrived
        bool reported = false;   // the failure without response was reported
        bool hasDestination = false;
        sockaddr_in destination{};
    };
    std::map<int, ClientInfo> m_clients;  // our own client transactions by id
    std::map<std::string, std::string> m_localAddresses;  // host -> our address towards it
    std::unique_ptr<CCallLayer> m_calls;
    char* m_rxBuffer;
};

} // namespace ua
