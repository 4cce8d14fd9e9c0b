#include "signalling/ua/DigestAuth.h"

#include <openssl/evp.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace ua {

std::string CDigestAuth::Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr) != 1) return std::string();
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string CDigestAuth::Unquote(const char* text) {
    if (!text) return std::string();
    std::string s(text);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

namespace {
bool HasToken(const std::string& list, const char* token) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(start, end - start);
        size_t a = item.find_first_not_of(" \t");
        size_t b = item.find_last_not_of(" \t");
        if (a != std::string::npos && strcasecmp(item.substr(a, b - a + 1).c_str(), token) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Header values go into a message; refuse anything that would break the
// line or the quoting.
bool SafeValue(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == '"' || c == '\\' || c == 0x7f) return false;
    return true;
}
} // namespace

int CDigestAuth::ReadChallenge(const osip_message_t* response, Challenge* out) {
    if (!response || !out) return -1;
    osip_www_authenticate_t* header = nullptr;
    bool proxy = response->status_code == 407;
    if (proxy)
        osip_message_get_proxy_authenticate(response, 0, &header);
    else
        osip_message_get_www_authenticate(response, 0, &header);
    if (!header) return -1;
    const char* type = osip_www_authenticate_get_auth_type(header);
    if (!type || strcasecmp(type, "Digest") != 0) return -1;
    Challenge c;
    c.proxy = proxy;
    c.realm = Unquote(osip_www_authenticate_get_realm(header));
    c.nonce = Unquote(osip_www_authenticate_get_nonce(header));
    c.opaque = Unquote(osip_www_authenticate_get_opaque(header));
    c.algorithm = Unquote(osip_www_authenticate_get_algorithm(header));
    std::string stale = Unquote(osip_www_authenticate_get_stale(header));
    c.stale = strcasecmp(stale.c_str(), "true") == 0;
    std::string qop = Unquote(osip_www_authenticate_get_qop_options(header));
    if (c.nonce.empty()) return -1;
    if (!c.algorithm.empty() && strcasecmp(c.algorithm.c_str(), "MD5") != 0) return -1;
    if (!qop.empty()) {
        if (!HasToken(qop, "auth")) return -1;
        c.qop = "auth";
    }
    if (!SafeValue(c.realm) || !SafeValue(c.nonce) || !SafeValue(c.opaque)) return -1;
    *out = c;
    return 0;
}

std::string CDigestAuth::Answer(const Challenge& challenge, const std::string& user, const std::string& password,
                                const std::string& ha1, const std::string& method, const std::string& uri,
                                unsigned nonceCount, const std::string& cnonce) {
    std::string h1 = ha1.empty() ? Md5Hex(user + ":" + challenge.realm + ":" + password) : ha1;
    std::string h2 = Md5Hex(method + ":" + uri);
    char nc[16];
    snprintf(nc, sizeof nc, "%08x", nonceCount);
    std::string response;
    if (challenge.qop.empty())
        response = Md5Hex(h1 + ":" + challenge.nonce + ":" + h2);
    else
        response = Md5Hex(h1 + ":" + challenge.nonce + ":" + nc + ":" + cnonce + ":" + challenge.qop + ":" + h2);

    std::string v = "Digest username=\"" + user + "\", realm=\"" + challenge.realm + "\", nonce=\"" +
                    challenge.nonce + "\", uri=\"" + uri + "\", response=\"" + response + "\"";
    if (!challenge.algorithm.empty()) v += ", algorithm=MD5";
    if (!challenge.opaque.empty()) v += ", opaque=\"" + challenge.opaque + "\"";
    if (!challenge.qop.empty()) v += ", qop=auth, nc=" + std::string(nc) + ", cnonce=\"" + cnonce + "\"";
    return v;
}

int CDigestAuth::Apply(osip_message_t* request, const Challenge& challenge, const std::string& user,
                       const std::string& password, const std::string& ha1, unsigned nonceCount,
                       const std::string& cnonce) {
    if (!request || !request->req_uri || !request->sip_method) return -1;
    if (!SafeValue(user)) return -1;
    char* uri = nullptr;
    if (osip_uri_to_str(request->req_uri, &uri) != 0 || !uri) return -1;
    std::string value = Answer(challenge, user, password, ha1, request->sip_method, uri, nonceCount, cnonce);
    osip_free(uri);

    // Drop earlier answers so that a retry carries exactly one.
    osip_list_t* list = challenge.proxy ? &request->proxy_authorizations : &request->authorizations;
    while (!osip_list_eol(list, 0)) {
        auto* old = static_cast<osip_authorization_t*>(osip_list_get(list, 0));
        osip_list_remove(list, 0);
        osip_authorization_free(old);
    }
    int rc = challenge.proxy ? osip_message_set_proxy_authorization(request, value.c_str())
                             : osip_message_set_authorization(request, value.c_str());
    osip_message_force_update(request);
    return rc == 0 ? 0 : -1;
}

} // namespace ua
