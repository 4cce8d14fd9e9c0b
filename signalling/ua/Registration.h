#pragma once
// One registration: the REGISTER requests of one Call-ID, their digest
// answers and the refresh before the binding expires.
#include "signalling/ua/DigestAuth.h"

#include <osipparser2/osip_message.h>

#include <chrono>
#include <string>

namespace ua {

class CUserAgent;

class CRegistration {
public:
    using Clock = std::chrono::steady_clock;

    CRegistration(int rid, const std::string& from, const std::string& proxy, const std::string& contact,
                  int expires, const std::string& callId, const std::string& fromTag);

    // Builds the next REGISTER (CSeq + 1) asking for expires seconds, with
    // an answer to the last challenge when there is one. 0 or -1.
    int Build(CUserAgent& agent, int expires, osip_message_t** out);

    // A 2xx arrived for the request last sent: work out the granted
    // expiry and when to refresh.
    void OnSuccess(const osip_message_t* response, Clock::time_point now);
    // A 401/407 arrived: keep the challenge for the next request.
    // Returns 0 when it may be answered, -1 when it must not (unreadable,
    // or the same credentials were refused too often).
    int OnChallenge(const osip_message_t* response, int maxAnswers);

    // Starts from another registration's last challenge (same account
    // and server), so that the first request already carries an answer.
    void InheritChallenge(const CRegistration& other);

    // Seconds before expiry at which a binding of that length is renewed.
    static int RefreshDelay(int grantedSeconds);
    // Expiry granted for contact by a 2xx: the expires parameter of the
    // matching Contact, else the Expires header, else fallback.
    static int GrantedExpiry(const osip_message_t* response, const std::string& contact, int fallback);

    int Rid() const { return m_rid; }
    const std::string& From() const { return m_from; }
    const std::string& Proxy() const { return m_proxy; }
    int Expires() const { return m_expires; }
    int SentExpires() const { return m_sentExpires; }
    int LastTid() const { return m_lastTid; }
    void SetLastTid(int tid) { m_lastTid = tid; }
    bool Refreshing() const { return m_refreshing; }
    void StopRefreshing() { m_refreshing = false; }
    Clock::time_point RefreshAt() const { return m_refreshAt; }
    const std::string& ContactText() const { return m_contactSent; }

private:
    int m_rid;
    std::string m_from;
    std::string m_proxy;
    std::string m_contact;      // as given (may be empty)
    std::string m_contactSent;  // as last sent
    int m_expires;
    int m_sentExpires;
    std::string m_callId;
    std::string m_fromTag;
    int m_cseq;
    bool m_haveChallenge;
    CDigestAuth::Challenge m_challenge;
    unsigned m_nonceCount;
    std::string m_cnonce;
    int m_answers;  // challenges answered since the last success
    int m_lastTid;
    bool m_refreshing;
    Clock::time_point m_refreshAt;
};

} // namespace ua
