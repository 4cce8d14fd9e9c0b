// The commands quarvofon-cli reads from standard input, one per line:
// the first word is the command, the rest its arguments. Add a command
// by adding a row to the table.
#include "tools/quarvofon-cli/CliSession.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

int Register(CCliSession& s, const std::vector<std::string>&) {
    const CliOptions& o = s.Options();
    return s.Protocol()->Register(o.displayName.c_str(), o.user.c_str(), o.pin.c_str(), o.expiry, nullptr,
                                  nullptr, 0);
}

int UnRegister(CCliSession& s, const std::vector<std::string>&) {
    const CliOptions& o = s.Options();
    return s.Protocol()->UnRegister(o.displayName.c_str(), o.user.c_str(), o.pin.c_str(), 0, nullptr, nullptr);
}

int Ping(CCliSession& s, const std::vector<std::string>&) { return s.Protocol()->SendPing(); }

// Calls. The call commands act on the record of the last event that
// carried one, as the phone keeps the record of its current call.
int Call(CCliSession& s, const std::vector<std::string>& args) {
    if (args.empty()) return -100;
    const CliOptions& o = s.Options();
    const std::string rtpPort = std::to_string(o.rtpPort);
    return s.Protocol()->Invite(o.user.c_str(), args[0].c_str(), o.server.c_str(), o.port.c_str(),
                                o.localIp.empty() ? nullptr : o.localIp.c_str(), rtpPort.c_str());
}

int Ring(CCliSession& s, const std::vector<std::string>&) {
    SipData call = s.LastCall();
    return s.Protocol()->SendRinging(&call);
}

int Answer(CCliSession& s, const std::vector<std::string>&) {
    SipData call = s.LastCall();
    const CliOptions& o = s.Options();
    const std::string rtpPort = std::to_string(o.rtpPort);
    return s.Protocol()->AcceptIncomingCall(&call, o.localIp.empty() ? nullptr : o.localIp.c_str(),
                                            rtpPort.c_str());
}

int Reject(CCliSession& s, const std::vector<std::string>&) {
    SipData call = s.LastCall();
    return s.Protocol()->RejectIncomingCall(&call);
}

int HangUp(CCliSession& s, const std::vector<std::string>&) {
    SipData call = s.LastCall();
    const int rc = s.Protocol()->HangUp(&call);
    s.EndCallMedia();  // the user ended the call: the media stops at once
    return rc;
}

// "dtmf <digit>": a key during a call, sent as a telephone event (needs
// --mic or --speaker, which start the voice engine).
int Dtmf(CCliSession& s, const std::vector<std::string>& args) {
    if (args.empty() || args[0].size() != 1 || !s.Media()) return -100;
    return s.Media()->SendDigit(args[0][0]);
}

// "sleep <ms>": lets scripts pace themselves without a shell.
int Sleep(CCliSession&, const std::vector<std::string>& args) {
    long ms = args.empty() ? 0 : strtol(args[0].c_str(), nullptr, 10);
    if (ms < 0 || ms > 600000) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 1;
}
} // namespace

// "quit" and "help" are handled by the loop itself.
const CliCommand kCliCommands[] = {
    {"register", "register", &Register},
    {"unregister", "unregister", &UnRegister},
    {"ping", "ping", &Ping},
    {"call", "call <number>", &Call},
    {"ring", "ring", &Ring},
    {"answer", "answer", &Answer},
    {"reject", "reject", &Reject},
    {"hangup", "hangup", &HangUp},
    {"dtmf", "dtmf <digit>", &Dtmf},
    {"sleep", "sleep <ms>", &Sleep},
    {nullptr, nullptr, nullptr},
};
