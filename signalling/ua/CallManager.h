#pragma once
// Calls and their dialogs on top of the user agent: INVITE sent and
// received, provisional and final answers, ACK for 2xx, CANCEL, BYE,
// re-INVITE and in-dialog requests, with the call events the owner reads
// from the agent's queue.
//
// Every method runs with the agent's lock held: the operations because
// the owner takes the lock around them, the hooks because the agent's
// thread calls them under it.
#include "signalling/ua/UserAgent.h"

#include <osip2/osip_dialog.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace ua {

class CCallManager : public CCallLayer {
public:
    using Clock = std::chrono::steady_clock;
    enum {
        MAX_CALLS = 32,             // beyond this, new INVITEs are answered 486
        MAX_AUTH_ATTEMPTS = 2,      // challenges answered per call
        T1_MS = 500,                // 2xx retransmission start
        T2_MS = 4000,               // 2xx retransmission cap
        ACK_WAIT_MS = 64 * T1_MS,   // our 2xx unacknowledged: the call is ended
        RINGING_LIMIT_S = 180,      // an outgoing call not answered by then is cancelled
        RELEASE_LINGER_MS = 1000,   // from the end of a call to its release event
        RELEASE_LIMIT_MS = 40000,   // a BYE or a challenge waits at most this long
    };

    explicit CCallManager(CUserAgent* agent);
    ~CCallManager() override;
    CCallManager(const CCallManager&) = delete;
    CCallManager& operator=(const CCallManager&) = delete;

    // ---- operations (0 or a positive id on success, negative on failure) ----
    int BuildInitialInvite(osip_message_t** invite, const char* to, const char* from, const char* route,
                           const char* subject);
    // Takes the INVITE; returns the new call id.
    int SendInitialInvite(osip_message_t* invite);
    // A response to the INVITE or in-dialog request of server transaction tid.
    int BuildAnswer(int tid, int status, osip_message_t** answer);
    // Takes the answer (null: built here with status).
    int SendAnswer(int tid, int status, osip_message_t* answer);
    int BuildAck(int did, osip_message_t** ack);
    // Takes the ACK (null: built here).
    int SendAck(int did, osip_message_t* ack);
    // CANCEL before a final answer, BYE after it, 603 for a ringing
    // incoming call.
    int Terminate(int cid, int did);
    // The last SDP body the peer sent in dialog did (offer or answer).
    int GetRemoteSdp(int did, std::string* out);

    // ---- CCallLayer ----
    int OnNewRequest(osip_transaction_t* tr, osip_message_t* request) override;
    void OnTransactionMessage(int type, osip_transaction_t* tr, osip_message_t* message) override;
    void OnTransactionKilled(int type, osip_transaction_t* tr) override;
    void OnTick() override;
    int DefaultAction(Event* event, int* result) override;

    // Observers for tests.
    size_t CallCount() const { return m_calls.size(); }
    // Our tag in the newest call (empty when there is none).
    std::string NewestLocalTag() const;

    struct Call;

private:
    Call* FindCall(int cid);
    Call* FindCallByDialog(int did);
    Call* FindCallByTransaction(int tid);
    Call* FindCallByRequest(const osip_message_t* request);
    void Report(int type, Call* call, osip_transaction_t* tr, const osip_message_t* request,
                const osip_message_t* response);
    void OnInviteResponse(Call* call, osip_transaction_t* tr, osip_message_t* response);
    void OnInDialogResponse(Call* call, osip_transaction_t* tr, osip_message_t* response);
    void OnStray2xx(osip_message_t* response);
    int HandleInvite(osip_transaction_t* tr, osip_message_t* request);
    int HandleCancel(osip_transaction_t* tr, osip_message_t* request);
    int HandleInDialog(Call* call, osip_transaction_t* tr, osip_message_t* request);
    void HandleAck(Call* call, osip_message_t* ack);
    int SendCancel(Call* call);
    int SendBye(Call* call);
    int BuildInDialogRequest(Call* call, const char* method, osip_message_t** out);
    int SendDialogAck(Call* call, osip_message_t* ack);
    void RememberSdp(Call* call, const osip_message_t* message);
    void EndCall(Call* call);
    int AnswerStateless(osip_transaction_t* tr, const osip_message_t* request, int status);
    bool NextHop(const osip_message_t* request, std::string* host, int* port);

    CUserAgent* m_agent;
    std::map<int, std::unique_ptr<Call>> m_calls;
    std::map<int, int> m_transactions;  // transaction id -> call id
    int m_nextCid;
    int m_nextDid;
};

} // namespace ua
