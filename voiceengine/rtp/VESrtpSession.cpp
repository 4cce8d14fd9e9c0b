#include "voiceengine/rtp/VESrtpSession.h"

#include <srtp2/crypto_types.h>
#include <srtp2/srtp.h>

#include <algorithm>
#include <cstring>

#include "app/Trace.h"

namespace {

std::mutex g_libraryLock;
int g_libraryUsers = 0;

bool Allowed(const VESrtpParams& p) {
    if (p.cipherType != SRTP_NULL_CIPHER && p.cipherType != SRTP_AES_ICM_128) return false;
    if (p.authType != SRTP_NULL_AUTH && p.authType != SRTP_HMAC_SHA1) return false;
    if (p.securityServices < 0 || p.securityServices > 3) return false;
    // libsrtp reads cipherKeyLength bytes of key: never let it read past what
    // the caller gave us.
    if (p.cipherKeyLength < 0 || p.cipherKeyLength > static_cast<int>(p.key.size())) return false;
    if (p.keyLength < p.cipherKeyLength) return false;
    if (p.authKeyLength < 0 || p.authTagLength < 0 || p.authTagLength > SRTP_MAX_TAG_LEN) return false;
    return true;
}

void FillPolicy(const VESrtpParams& p, VESrtpSession::Direction d, srtp_policy_t& policy, uint8_t* key) {
    std::memset(&policy, 0, sizeof policy);
    srtp_crypto_policy_t crypto{};
    crypto.cipher_type = static_cast<srtp_cipher_type_id_t>(p.cipherType);
    crypto.cipher_key_len = p.cipherKeyLength;
    crypto.auth_type = static_cast<srtp_auth_type_id_t>(p.authType);
    crypto.auth_key_len = p.authKeyLength;
    crypto.auth_tag_len = p.authTagLength;
    crypto.sec_serv = static_cast<srtp_sec_serv_t>(p.securityServices);
    policy.rtp = crypto;
    policy.rtcp = crypto;
    policy.ssrc.type = d == VESrtpSession::kSend ? ssrc_any_outbound : ssrc_any_inbound;
    std::memcpy(key, p.key.data(), p.key.size());
    policy.key = key;
    policy.window_size = 128;
    policy.allow_repeat_tx = 0;
    policy.next = nullptr;
}

srtp_t CreateSession(const VESrtpParams& p, VESrtpSession::Direction d) {
    if (!Allowed(p)) return nullptr;
    srtp_policy_t policy;
    uint8_t key[60];
    FillPolicy(p, d, policy, key);
    srtp_t session = nullptr;
    if (srtp_create(&session, &policy) != srtp_err_status_ok) return nullptr;
    return session;
}

} // namespace

VESrtpParams VESrtpParams::Make(int cipherType, int cipherKeyLength, int authType, int authKeyLength,
                                int authTagLength, int securityServices, const uint8_t* key, int keyLength) {
    VESrtpParams p;
    p.cipherType = cipherType;
    p.cipherKeyLength = cipherKeyLength;
    p.authType = authType;
    p.authKeyLength = authKeyLength;
    p.authTagLength = authTagLength;
    p.securityServices = securityServices;
    p.keyLength = key ? std::clamp(keyLength, 0, static_cast<int>(p.key.size())) : 0;
    if (p.keyLength > 0) std::memcpy(p.key.data(), key, static_cast<size_t>(p.keyLength));
    return p;
}

VESrtpSession::~VESrtpSession() {
    if (m_session) srtp_dealloc(m_session);
}

int VESrtpSession::LibraryInit() {
    QF_TRACE("VESrtpSession::LibraryInit");
    std::lock_guard<std::mutex> lock(g_libraryLock);
    if (g_libraryUsers == 0 && srtp_init() != srtp_err_status_ok) {
        QF_LOG_ERROR("srtp_init failed");
        return -1;
    }
    ++g_libraryUsers;
    QF_LEAVE();
    return 0;
}

void VESrtpSession::LibraryShutdown() {
    QF_TRACE("VESrtpSession::LibraryShutdown");
    std::lock_guard<std::mutex> lock(g_libraryLock);
    if (g_libraryUsers > 0 && --g_libraryUsers == 0) srtp_shutdown();
    QF_LEAVE();
}

int VESrtpSession::Check(const VESrtpParams& params, Direction direction) {
    QF_TRACE("VESrtpSession::Check");
    srtp_t session = CreateSession(params, direction);
    if (!session) {
        QF_LOG_ERROR("SRTP parameters rejected");
        return -1;
    }
    srtp_dealloc(session);
    QF_LEAVE();
    return 0;
}

int VESrtpSession::Configure(const VESrtpParams& params, Direction direction) {
    QF_TRACE("VESrtpSession::Configure");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_configured) {
        QF_LEAVE();
        return 1;
    }
    m_params = params;
    m_direction = direction;
    m_configured = true;
    QF_LEAVE();
    return 0;
}

void VESrtpSession::Disable() {
    QF_TRACE("VESrtpSession::Disable");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_session) srtp_dealloc(m_session);
    m_session = nullptr;
    m_configured = false;
    m_params = VESrtpParams{};
    QF_LEAVE();
}

bool VESrtpSession::Enabled() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_configured;
}

int VESrtpSession::EnsureSession() {
    if (m_session) return 0;
    m_session = CreateSession(m_params, m_direction);
    return m_session ? 0 : -1;
}

int VESrtpSession::Protect(uint8_t* packet, size_t& length, size_t capacity) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (EnsureSession() != 0) return -1;
    // libsrtp writes the tag behind the packet without being told the room.
    if (length + SRTP_MAX_TRAILER_LEN > capacity) return -2;
    int len = static_cast<int>(length);
    if (srtp_protect(m_session, packet, &len) != srtp_err_status_ok) return -2;
    length = static_cast<size_t>(len);
    return 0;
}

int VESrtpSession::Unprotect(uint8_t* packet, size_t& length) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (EnsureSession() != 0) return -1;
    if (length < 12) return -2;
    int len = static_cast<int>(length);
    if (srtp_unprotect(m_session, packet, &len) != srtp_err_status_ok) return -2;
    length = static_cast<size_t>(len);
    return 0;
}
