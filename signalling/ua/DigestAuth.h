#pragma once
// HTTP digest authentication for SIP requests (MD5, qop "auth" or none).
#include <osipparser2/osip_message.h>

#include <string>

namespace ua {

class CDigestAuth {
public:
    // The parts of one WWW-Authenticate or Proxy-Authenticate challenge,
    // unquoted.
    struct Challenge {
        std::string realm;
        std::string nonce;
        std::string opaque;
        std::string algorithm;  // empty means MD5
        std::string qop;        // "auth" when offered, else empty
        bool stale = false;
        bool proxy = false;  // 407 rather than 401
    };

    // Reads the first digest challenge of a 401 or 407 response.
    // 0 on success, -1 when there is none we can answer (no nonce, an
    // unknown algorithm, only qop=auth-int).
    static int ReadChallenge(const osip_message_t* response, Challenge* out);

    static std::string Md5Hex(const std::string& text);
    static std::string Unquote(const char* text);

    // The header value (starting with "Digest ") answering the challenge.
    // ha1 may be given instead of the password. nonceCount counts the
    // requests sent with this nonce (1 for the first); cnonce is used only
    // with qop.
    static std::string Answer(const Challenge& challenge, const std::string& user, const std::string& password,
                              const std::string& ha1, const std::string& method, const std::string& uri,
                              unsigned nonceCount, const std::string& cnonce);

    // Adds the answer as Authorization (401) or Proxy-Authorization (407)
    // to request, replacing any earlier one. 0 or -1.
    static int Apply(osip_message_t* request, const Challenge& challenge, const std::string& user,
                     const std::string& password, const std::string& ha1, unsigned nonceCount,
                     const std::string& cnonce);
};

} // namespace ua
