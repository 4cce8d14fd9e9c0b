#include "signalling/ua/Registration.h"

#include "signalling/ua/UserAgent.h"

#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include <cstdlib>
#include <strings.h>

namespace ua {

namespace {
int ParseSeconds(const char* text, int fallback) {
    if (!text) return fallback;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || v < 0) return fallback;
    if (v > 0x7fffffffL) v = 0x7fffffffL;
    return static_cast<int>(v);
}

bool SameText(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return strcasecmp(a, b) == 0;
}

int PortOf(const osip_uri_t* uri) { return uri && uri->port ? atoi(uri->port) : 5060; }
} // namespace

CRegistration::CRegistration(int rid, const std::string& from, const std::string& proxy, const std::string& contact,
                             int expires, const std::string& callId, const std::string& fromTag)
    : m_rid(rid),
      m_from(from),
      m_proxy(proxy),
      m_contact(contact),
      m_expires(expires),
      m_sentExpires(expires),
      m_callId(callId),
      m_fromTag(fromTag),
      m_cseq(0),
      m_haveChallenge(false),
      m_nonceCount(0),
      m_answers(0),
      m_lastTid(0),
      m_refreshing(false) {}

int CRegistration::Build(CUserAgent& agent, int expires, osip_message_t** out) {
    if (!out) return -1;
    *out = nullptr;
    osip_message_t* msg = nullptr;
    if (agent.BuildRequest(&msg, "REGISTER", m_proxy.c_str(), m_from.c_str(), m_from.c_str(), nullptr,
                           m_callId.c_str(), m_fromTag.c_str(), m_cseq + 1) != 0)
        return -1;

    std::string contact = m_contact;
    if (contact.empty()) {
        // Our own address as the registrar will reach it.
        std::string user = msg->from && msg->from->url && msg->from->url->username ? msg->from->url->username : "";
        const char* host = msg->req_uri && msg->req_uri->host ? msg->req_uri->host : "127.0.0.1";
        contact = "<sip:" + user + (user.empty() ? "" : "@") + agent.LocalAddressFor(host) + ":" +
                  std::to_string(agent.LocalPort()) + ">";
    }
    if (osip_message_set_contact(msg, contact.c_str()) != 0) {
        osip_message_free(msg);
        return -1;
    }
    osip_message_set_expires(msg, std::to_string(expires < 0 ? 0 : expires).c_str());

    if (m_haveChallenge) {
        const CUserAgent::AuthInfo* info = agent.FindAuthInfo(m_challenge.realm);
        if (info) {
            char cnonce[32];
            CUserAgent::GenerateRandom(cnonce, sizeof cnonce);
            m_cnonce = cnonce;
            ++m_nonceCount;
            std::string user = info->userid.empty() ? info->username : info->userid;
            CDigestAuth::Apply(msg, m_challenge, user, info->passwd, info->ha1, m_nonceCount, m_cnonce);
        }
    }
    ++m_cseq;
    m_sentExpires = expires < 0 ? 0 : expires;
    m_contactSent = contact;
    *out = msg;
    return 0;
}

void CRegistration::InheritChallenge(const CRegistration& other) {
    if (!other.m_haveChallenge) return;
    m_challenge = other.m_challenge;
    m_haveChallenge = true;
    m_nonceCount = other.m_nonceCount;
}

int CRegistration::RefreshDelay(int grantedSeconds) {
    if (grantedSeconds <= 0) return 0;
    if (grantedSeconds > 120) return grantedSeconds - 60;
    return grantedSeconds / 2 > 0 ? grantedSeconds / 2 : 1;
}

int CRegistration::GrantedExpiry(const osip_message_t* response, const std::string& contact, int fallback) {
    if (!response) return fallback;
    osip_contact_t* mine = nullptr;
    osip_contact_init(&mine);
    bool parsed = mine && osip_contact_parse(mine, contact.c_str()) == 0 && mine->url;
    for (int pos = 0; parsed; ++pos) {
        osip_contact_t* c = nullptr;
        if (osip_message_get_contact(response, pos, &c) < 0 || !c) break;
        if (!c->url) continue;
        if (SameText(c->url->host, mine->url->host) && SameText(c->url->username, mine->url->username) &&
            PortOf(c->url) == PortOf(mine->url)) {
            osip_generic_param_t* p = nullptr;
            osip_contact_param_get_byname(c, const_cast<char*>("expires"), &p);
            if (p && p->gvalue) {
                osip_contact_free(mine);
                return ParseSeconds(p->gvalue, fallback);
            }
        }
    }
    if (mine) osip_contact_free(mine);
    osip_header_t* h = nullptr;
    osip_message_get_expires(response, 0, &h);
    if (h && h->hvalue) return ParseSeconds(h->hvalue, fallback);
    return fallback;
}

void CRegistration::OnSuccess(const osip_message_t* response, Clock::time_point now) {
    m_answers = 0;
    if (m_sentExpires <= 0) {
        m_refreshing = false;
        return;
    }
    int granted = GrantedExpiry(response, m_contactSent, m_sentExpires);
    if (granted <= 0) {
        m_refreshing = false;
        return;
    }
    m_refreshing = true;
    m_refreshAt = now + std::chrono::seconds(RefreshDelay(granted));
}

int CRegistration::OnChallenge(const osip_message_t* response, int maxAnswers) {
    CDigestAuth::Challenge c;
    if (CDigestAuth::ReadChallenge(response, &c) != 0) return -1;
    bool newNonce = !m_haveChallenge || c.nonce != m_challenge.nonce;
    // A stale nonce is not a refusal of the credentials, but a server
    // that calls every nonce stale must not keep us busy for ever.
    if (m_answers >= (c.stale ? maxAnswers + 3 : maxAnswers)) return -1;
    ++m_answers;
    if (newNonce) m_nonceCount = 0;
    m_challenge = c;
    m_haveChallenge = true;
    return 0;
}

} // namespace ua
