// quarvo-lab-web: the lab's web service stand-in as a program.
//   quarvo-lab-web --port <port> [--host <addr>] [--data-dir <dir>]
#include "lab/web/LabWebServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    std::string dataDir;
    int port = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) port = std::atoi(argv[++i]);
        else if (arg == "--host" && i + 1 < argc) host = argv[++i];
        else if (arg == "--data-dir" && i + 1 < argc) dataDir = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s --port <port> [--host <addr>] [--data-dir <dir>]\n", argv[0]);
            return 2;
        }
    }
    if (port < 0 || port > 65535) {
        std::fprintf(stderr, "usage: %s --port <port> [--host <addr>] [--data-dir <dir>]\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    CLabWebServer server;
    if (!dataDir.empty()) server.SetDataDir(dataDir);
    const int bound = server.Start(host, port);
    if (bound < 0) {
        std::fprintf(stderr, "quarvo-lab-web: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    std::printf("quarvo-lab-web listening on %s:%d\n", host.c_str(), bound);
    std::fflush(stdout);
    while (!g_stop) pause();
    server.Stop();
    return 0;
}
