// Feeds one datagram to a fresh user agent.
//
// Input: the first byte chooses how the rest is used.
//   even: a datagram from a stranger (requests, responses, garbage);
//   odd:  a response to the REGISTER the agent has just sent: the tokens
//         $BRANCH, $CALLID, $FROMTAG and $CSEQ in it are replaced by that
//         request's values, so that the transaction layer matches it and
//         the registration code reads it.
// Every event that results is given to the default action, as the owner
// does, and then freed.
#include "signalling/ua/UserAgent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <osipparser2/osip_port.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void ReplaceAll(std::string& s, const std::string& token, const std::string& value) {
    for (size_t pos = s.find(token); pos != std::string::npos; pos = s.find(token, pos + value.size()))
        s.replace(pos, token.size(), value);
}

std::string Param(osip_message_t* m, const char* which) {
    if (!m) return "";
    if (strcmp(which, "branch") == 0) {
        auto* via = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
        osip_generic_param_t* p = nullptr;
        if (via) osip_via_param_get_byname(via, const_cast<char*>("branch"), &p);
        return p && p->gvalue ? p->gvalue : "";
    }
    if (strcmp(which, "tag") == 0) {
        osip_generic_param_t* p = nullptr;
        if (m->from) osip_from_get_tag(m->from, &p);
        return p && p->gvalue ? p->gvalue : "";
    }
    if (strcmp(which, "callid") == 0 && m->call_id && m->call_id->number)
        return std::string(m->call_id->number) + (m->call_id->host ? std::string("@") + m->call_id->host : "");
    if (strcmp(which, "cseq") == 0 && m->cseq && m->cseq->number) return m->cseq->number;
    return "";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 70000) return 0;
    ua::CUserAgent agent;
    if (agent.Init() != 0 || agent.ListenAddr(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, 0) != 0) return 0;
    agent.AddAuthenticationInfo("1001", "1001", "1234", nullptr, "127.0.0.1");

    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    src.sin_port = htons(9);  // discard: nobody answers there
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    if (agent.Lock() != 0) return 0;
    if (data[0] & 1) {
        osip_message_t* reg = nullptr;
        int rid = agent.RegisterBuildInitialRegister("sip:1001@127.0.0.1:9", "sip:127.0.0.1:9", nullptr, 60, &reg);
        if (rid > 0 && agent.RegisterSendRegister(rid, reg) == 0) {
            agent.Step();  // the request is sent and kept by its transaction
            osip_list_iterator_t it;
            auto* tr = static_cast<osip_transaction_t*>(
                osip_list_get_first(&agent.Osip()->osip_nict_transactions, &it));
            osip_message_t* sent = tr ? tr->orig_request : nullptr;
            ReplaceAll(text, "$BRANCH", Param(sent, "branch"));
            ReplaceAll(text, "$CALLID", Param(sent, "callid"));
            ReplaceAll(text, "$FROMTAG", Param(sent, "tag"));
            ReplaceAll(text, "$CSEQ", Param(sent, "cseq"));
        }
    }
    agent.HandleDatagram(text.data(), text.size(), src);
    agent.Step();
    agent.Unlock();

    while (ua::Event* e = agent.EventWait(0, 0)) {
        agent.Lock();
        agent.DefaultAction(e);
        agent.Unlock();
        ua::CUserAgent::EventFree(e);
    }
    agent.Quit();
    return 0;
}
