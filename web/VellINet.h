#pragma once
// The program's asynchronous HTTP client. Each object carries at most one
// request at a time: the owner opens a connection and a request, adds
// headers, sends, is told about progress and completion through its own
// status callback (on the transfer thread), then polls for the body with
// CheckForData, reads the status code and closes the request.
//
//   1 progress   text from the progress table ("Connecting to server", ...)
//   2 complete   "Request complete"; the body can now be read
//  -1 failed     error text + " Try again"
//
// The transfers themselves run on one process-wide thread over libcurl's
// multi interface (see INetWorker.h); Init starts it, Exit ends it.
#include "web/INetDefs.h"
#include "web/INetEvent.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct INetTransfer;
struct INetLink;

using VellINetStatusCallback = void (*)(const char* text, int code, void* context);

class CVellINet {
public:
    // Process-wide root: 1 when open (also when it already was), -1 when it
    // cannot be opened.
    static int Init();
    static void Exit();
    static bool IsInitialised();

    // Time-outs for new requests: connecting, and silence while a request
    // is under way (no byte sent or received). Either running out fails the
    // request with "The request has timed out.".
    static void SetTimeouts(int connectMs, int receiveMs);

    // The proxy from the environment (http_proxy, then HTTP_PROXY, then
    // all_proxy / ALL_PROXY); "" for a direct connection.
    static std::string SystemProxy();

    explicit CVellINet(const char* eventName);
    ~CVellINet();
    CVellINet(const CVellINet&) = delete;
    CVellINet& operator=(const CVellINet&) = delete;

    // 1; -1 without callback, without root, on connection failure or when no
    // handle is reported within 10 s; -2 when the request cannot be opened.
    int MakeHttpConnection(VellINetStatusCallback callback, void* context, const char* serverName, int port,
                           const char* verb, const char* objectPath, const char* acceptType,
                           unsigned long flags);
    // 1, or -1 (no request, malformed header, or one that exists already
    // with HTTP_ADDREQ_FLAG_ADD_IF_NEW).
    int AddRequestHeaders(const char* headers, unsigned long modifiers);
    // 1 when the request is on its way, -1 otherwise. The body is copied.
    int SendRequest(const char* body, unsigned long length);
    // 1 more to come, 2 complete, 3 read failure.
    int CheckForData();
    bool GetHttpStatusCode(int& statusCode);
    std::string GetResponseText();
    void Close();
    void ClosedByINet();

    // 1 once the request has been closed or abandoned; the owner sets it to
    // 0 right before starting each request.
    int GetClosed() const { return m_closed.load(); }
    void SetClosed(int closed) { m_closed.store(closed); }

    // Bytes held so far (capped; see kMaxResponseBytes).
    size_t GetResponseLength();
    const std::string& GetEventName() const { return m_handleEvent.Name(); }

    static const char* GetErrorText(int errorNumber);
    static int MakeHexString(const unsigned char* bytes, int count, char* out);
    static int HexStringToBytes(const char* hex, unsigned char* out, size_t outSize);

    // The library's notification entry point (runs on the transfer thread).
    static void StatusCallBack(void* handle, void* context, unsigned long status, const void* statusInfo,
                               unsigned long statusInfoLength);

    // A reply larger than this is cut: the chunk that does not fit and all
    // later ones are dropped and reading goes on, so a runaway server cannot
    // exhaust memory.
    static constexpr size_t kMaxResponseBytes = 8 * 1024 * 1024;
    static constexpr size_t kInitialBufferBytes = 350;
    static constexpr int kHandleWaitMs = 10000;
    static constexpr int kCloseWaitMs = 6000;

private:
    struct Connection;
    void DetachRequest(bool wait);
    void DetachConnection(bool wait);
    void Append(const std::string& chunk);

    std::atomic<int> m_closed{0};
    std::shared_ptr<Connection> m_connection;
    std::shared_ptr<INetTransfer> m_request;
    std::string m_responseText;
    std::atomic<VellINetStatusCallback> m_statusCallback{nullptr};
    std::atomic<void*> m_context{nullptr};
    CINetEvent m_handleEvent;
    std::vector<char> m_responseBuffer;
    size_t m_used = 0;
    bool m_truncated = false;  // a chunk was dropped: the rest of the reply is too
    bool m_requestSent = false;
    std::string m_verb;
    std::vector<std::string> m_headers;  // "Name: value" lines of the open request
    std::recursive_mutex m_lock;          // handles and buffer (owner and callback threads)
};
