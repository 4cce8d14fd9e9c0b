// Feeds arbitrary datagrams to a user agent with the call manager, as if
// they came from one peer, and acts on the call events as the phone does:
// answers offers it can read, reads INFO digits, ends calls.
//
// The input holds up to eight datagrams separated by a line "====";
// "@TAG@" in a datagram stands for our tag in the newest call.
#include "app/Logger.h"
#include "signalling/SdpCodecList.h"
#include "signalling/SdpOffer.h"
#include "signalling/SdpWriter.h"
#include "signalling/ua/CallManager.h"
#include "signalling/ua/DtmfInfoBody.h"
#include "signalling/ua/UserAgent.h"

#include <arpa/inet.h>
#include <osipparser2/osip_port.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void Act(ua::CUserAgent& agent, ua::Event* e, const CodecInfo* local, int localCount) {
    osip_body_t* body = nullptr;
    if (e->request) osip_message_get_body(e->request, 0, &body);
    const char* text = body && body->body ? body->body : "";
    const size_t len = body && body->body ? body->length : 0;
    switch (e->type) {
    case ua::EXOSIP_CALL_INVITE: {
        CSdpOffer offer;
        int remote = -1;
        const bool usable = offer.Parse(std::string(text, len).c_str()) == CSdpOffer::READ_OK &&
                            CSdpOffer::MatchCodec(offer.Codecs(), offer.CodecCount(), local, localCount, &remote) >= 0;
        osip_message_t* answer = nullptr;
        if (agent.CallBuildAnswer(e->tid, usable ? 200 : 488, &answer) != 0) return;
        if (usable) {
            char sdp[1024];
            const int n = CSdpWriter::Write(sdp, sizeof sdp, &offer.Codecs()[remote], 1, "127.0.0.1", "37644", "f", 1, 2);
            if (n > 0) osip_message_set_body(answer, sdp, static_cast<size_t>(n));
        }
        agent.CallSendAnswer(e->tid, 0, answer);
        break;
    }
    case ua::EXOSIP_CALL_REINVITE:
        agent.CallSendAnswer(e->tid, 488, nullptr);
        break;
    case ua::EXOSIP_CALL_MESSAGE_NEW: {
        int signal = 0, duration = 0;
        CDtmfInfoBody::Read(text, len, &signal, &duration);
        agent.CallSendAnswer(e->tid, 200, nullptr);
        break;
    }
    case ua::EXOSIP_CALL_ACK:
        agent.CallTerminate(e->cid, e->did);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (CLogger::SetLevel(0), true);
    (void)quiet;
    static CodecInfo local[20];
    static const int localCount = CSdpCodecList::Parse("102,8,0,", local, 20);

    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> datagrams;
    for (size_t at = 0; datagrams.size() < 8;) {
        const size_t sep = input.find("\n====\n", at);
        datagrams.push_back(input.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
        if (sep == std::string::npos) break;
        at = sep + 6;
    }

    ua::CUserAgent agent;
    if (agent.Init() != 0) return 0;
    // A socket for the answers (to 127.0.0.1:5070, where nobody listens);
    // without one every transaction would end at its first send. No
    // thread: the input is stepped through here.
    if (agent.Transport().Open("127.0.0.1", 0) != 0) return 0;
    agent.SetCallLayer(std::make_unique<ua::CCallManager>(&agent));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(5070);
    inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
    if (agent.Lock() != 0) return 0;
    auto* calls = dynamic_cast<ua::CCallManager*>(agent.CallLayer());
    for (std::string d : datagrams) {
        // "@TAG@" stands for our tag in the newest call, so that requests
        // can reach a dialog.
        const std::string tag = calls ? calls->NewestLocalTag() : std::string();
        for (size_t at = d.find("@TAG@"); at != std::string::npos; at = d.find("@TAG@", at + tag.size()))
            d.replace(at, 5, tag);
        agent.HandleDatagram(d.data(), d.size(), peer);
        agent.Step();
        while (ua::Event* e = agent.EventWait(0, 0)) {
            Act(agent, e, local, localCount);
            ua::CUserAgent::EventFree(e);
        }
        agent.Step();
        if (agent.CallLayer()) agent.CallLayer()->OnTick();
    }
    agent.Unlock();
    agent.Quit();
    return 0;
}
