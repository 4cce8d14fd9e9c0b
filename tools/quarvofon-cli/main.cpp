// quarvofon-cli: runs one session protocol from the command line.
//
//   quarvofon-cli --server <host> --user <number> --pin <pin> [options]
//
// Every session event is printed as one line
//   event <status> <name> cid=<n> did=<n> tid=<n> code=<n> reason="<text>"
// to which events with a call record add
//   codec=<name>/<payload>/<rate> rtp=<ip>:<port> dtmf=<signal>/<duration>
// and every command read from standard input is answered with
//   result <command> <value>
// The program ends at "quit" or at the end of its input, deleting the
// protocol first (which unregisters when registered), and prints "bye".
#include "app/Logger.h"
#include "tools/quarvofon-cli/CliSession.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

void Usage() {
    fprintf(stderr,
            "usage: quarvofon-cli --server <host> --user <number> --pin <pin>\n"
            "         [--port <sip port>] [--expiry <s>] [--codecs <list>] [--display <name>]\n"
            "         [--user-agent <text>] [--local-port <n>] [--log <file>] [--sip-log <file>]\n"
            "         [--register] [--mic <wav>] [--speaker <wav>] [--rtp-port <n>] [--local-ip <addr>]\n"
            "commands on standard input:");
    for (const CliCommand* c = kCliCommands; c->name; ++c) fprintf(stderr, " %s;", c->usage);
    fprintf(stderr, " help; quit\n");
}

bool ParseOptions(int argc, char** argv, CliOptions& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string number;
        if (a == "--server") {
            if (!value(o.server)) return false;
        } else if (a == "--port") {
            if (!value(o.port)) return false;
        } else if (a == "--user") {
            if (!value(o.user)) return false;
        } else if (a == "--pin") {
            if (!value(o.pin)) return false;
        } else if (a == "--display") {
            if (!value(o.displayName)) return false;
        } else if (a == "--codecs") {
            if (!value(o.codecs)) return false;
        } else if (a == "--user-agent") {
            if (!value(o.userAgent)) return false;
        } else if (a == "--log") {
            if (!value(o.logFile)) return false;
        } else if (a == "--sip-log") {
            if (!value(o.sipLogFile)) return false;
        } else if (a == "--expiry") {
            if (!value(number)) return false;
            o.expiry = atoi(number.c_str());
        } else if (a == "--local-port") {
            if (!value(number)) return false;
            o.localSipPort = atoi(number.c_str());
        } else if (a == "--rtp-port") {
            if (!value(number)) return false;
            o.rtpPort = atoi(number.c_str());
            if (o.rtpPort < 1024 || o.rtpPort > 65534) return false;
        } else if (a == "--local-ip") {
            if (!value(o.localIp)) return false;
        } else if (a == "--mic") {
            if (!value(o.micFile)) return false;
        } else if (a == "--speaker") {
            if (!value(o.speakerFile)) return false;
        } else if (a == "--register") {
            o.registerAtStart = true;
        } else {
            return false;
        }
    }
    return !o.server.empty() && !o.user.empty();
}

const CliCommand* Find(const std::string& name) {
    for (const CliCommand* c = kCliCommands; c->name; ++c)
        if (name == c->name) return c;
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    CliOptions options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    if (!options.logFile.empty()) {
        CLogger::SetLevel(7);
        CLogger::Open(options.logFile);
    }

    CCliSession session(options);
    int rc = session.Start();
    session.Print("result init " + std::to_string(rc));
    if (rc != 1) return 1;
    if (options.registerAtStart) {
        const CliCommand* reg = Find("register");
        session.Print("result register " + std::to_string(reg->run(session, {})));
    }

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string name;
        if (!(in >> name) || name[0] == '#') continue;
        std::vector<std::string> args;
        for (std::string a; in >> a;) args.push_back(a);
        if (name == "quit") break;
        if (name == "help") {
            Usage();
            continue;
        }
        const CliCommand* c = Find(name);
        if (!c) {
            session.Print("result " + name + " unknown");
            continue;
        }
        session.Print("result " + name + " " + std::to_string(c->run(session, args)));
    }
    session.Stop();
    session.Print("bye");
    if (!options.logFile.empty()) CLogger::Exit();
    return 0;
}
