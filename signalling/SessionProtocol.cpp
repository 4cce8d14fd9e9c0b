#include "signalling/SessionProtocol.h"

#include "app/Trace.h"

#include <cstring>

CSessionProtocol::CSessionProtocol()
    : quitting(0),
      registered(0),
      codecCount(0),
      codecs(nullptr),
      logFile(nullptr),
      callback(nullptr),
      owner(nullptr),
      realm{},
      serverAddress{},
      serverPort{},
      userAgent{},
      displayName{},
      userId{},
      password{},
      workerThreadId(0) {}

CSessionProtocol::~CSessionProtocol() {
    // The implementations end their threads in their own destructors; this
    // is only the last line of defence against a thread left joinable.
    if (workerThread.joinable()) workerThread.join();
    if (logFile) {
        fclose(logFile);
        logFile = nullptr;
    }
}

int CSessionProtocol::StartListen(SipData* /*data*/) { return 1; }

int CSessionProtocol::StopListen() {
    QF_TRACE("CSessionProtocol::StopListen");
    QF_LEAVE();
    return 1;
}

void CSessionProtocol::CopyText(char* dst, size_t n, const char* src) {
    if (!dst || n == 0) return;
    if (!src) {
        dst[0] = '\0';
        return;
    }
    size_t len = strnlen(src, n - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}
