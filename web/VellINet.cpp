#include "web/VellINet.h"

#include "app/HexText.h"
#include "app/Trace.h"
#include "web/INetTransfer.h"
#include "web/INetWorker.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

std::atomic<bool> g_rootOpen{false};
std::mutex g_rootMutex;
std::atomic<int> g_connectTimeoutMs{30000};
std::atomic<int> g_receiveTimeoutMs{30000};

const char* StatusName(unsigned long status) {
    switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME: return "INTERNET_STATUS_RESOLVING_NAME";
    case INTERNET_STATUS_NAME_RESOLVED: return "INTERNET_STATUS_NAME_RESOLVED";
    case INTERNET_STATUS_CONNECTING_TO_SERVER: return "INTERNET_STATUS_CONNECTING_TO_SERVER";
    case INTERNET_STATUS_CONNECTED_TO_SERVER: return "INTERNET_STATUS_CONNECTED_TO_SERVER";
    case INTERNET_STATUS_SENDING_REQUEST: return "INTERNET_STATUS_SENDING_REQUEST";
    case INTERNET_STATUS_REQUEST_SENT: return "INTERNET_STATUS_REQUEST_SENT";
    case INTERNET_STATUS_RECEIVING_RESPONSE: return "INTERNET_STATUS_RECEIVING_RESPONSE";
    case INTERNET_STATUS_RESPONSE_RECEIVED: return "INTERNET_STATUS_RESPONSE_RECEIVED";
    case INTERNET_STATUS_CLOSING_CONNECTION: return "INTERNET_STATUS_CLOSING_CONNECTION";
    case INTERNET_STATUS_CONNECTION_CLOSED: return "INTERNET_STATUS_CONNECTION_CLOSED";
    case INTERNET_STATUS_HANDLE_CREATED: return "INTERNET_STATUS_HANDLE_CREATED";
    case INTERNET_STATUS_HANDLE_CLOSING: return "INTERNET_STATUS_HANDLE_CLOSING";
    case INTERNET_STATUS_REQUEST_COMPLETE: return "INTERNET_STATUS_REQUEST_COMPLETE";
    case INTERNET_STATUS_REDIRECT: return "INTERNET_STATUS_REDIRECT";
    case INTERNET_STATUS_INTERMEDIATE_RESPONSE: return "INTERNET_STATUS_INTERMEDIATE_RESPONSE";
    case INTERNET_STATUS_STATE_CHANGE: return "INTERNET_STATUS_STATE_CHANGE";
    default: return nullptr;
    }
}

std::string HeaderName(const std::string& line) {
    const size_t colon = line.find(':');
    return colon == std::string::npos ? std::string() : line.substr(0, colon);
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string Env(const char* lower, const char* upper) {
    const char* v = std::getenv(lower);
    if (!v || !*v) v = std::getenv(upper);
    return v ? v : "";
}

} // namespace

struct CVellINet::Connection {
    std::string server;
    int port = 0;
    std::shared_ptr<INetLink> link;
};

// ---------------------------------------------------------------- process-wide

int CVellINet::Init() {
    QF_TRACE("CVellINet::Init");
    std::lock_guard<std::mutex> lock(g_rootMutex);
    if (g_rootOpen.load()) {
        QF_LEAVE();
        return 1;
    }
    if (CINetWorker::Start() != 1) {
        QF_LOG_ERROR("Unable to open the internet session");
        return -1;
    }
    g_rootOpen.store(true);
    QF_LEAVE();
    return 1;
}

void CVellINet::Exit() {
    QF_TRACE("CVellINet::Exit");
    std::lock_guard<std::mutex> lock(g_rootMutex);
    CINetWorker::Stop();
    g_rootOpen.store(false);
    QF_LEAVE();
}

bool CVellINet::IsInitialised() { return g_rootOpen.load(); }

void CVellINet::SetTimeouts(int connectMs, int receiveMs) {
    if (connectMs > 0) g_connectTimeoutMs.store(connectMs);
    if (receiveMs > 0) g_receiveTimeoutMs.store(receiveMs);
}

std::string CVellINet::SystemProxy() {
    std::string proxy = Env("http_proxy", "HTTP_PROXY");
    if (proxy.empty()) proxy = Env("all_proxy", "ALL_PROXY");
    return proxy;
}

// ---------------------------------------------------------------- object

CVellINet::CVellINet(const char* eventName) : m_handleEvent(eventName ? eventName : "") {
    QF_TRACE("CVellINet::CVellINet");
    m_responseBuffer.reserve(kInitialBufferBytes);
    QF_LEAVE();
}

CVellINet::~CVellINet() {
    QF_TRACE("CVellINet::~CVellINet");
    Close();
    // A request started without clearing `closed` is still held; let it go
    // so that nothing calls back into a destroyed object.
    DetachRequest(false);
    DetachConnection(false);
    m_handleEvent.Set();
    QF_LEAVE();
}

void CVellINet::DetachRequest(bool wait) {
    std::shared_ptr<INetTransfer> t;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        t.swap(m_request);
        m_requestSent = false;
        m_headers.clear();
    }
    if (!t) return;
    m_handleEvent.Reset();
    const bool posted = CINetWorker::Post([t] {
        CINetWorker::Remove(t);
        CINetWorker::Notify(t->link, t.get(), INTERNET_STATUS_HANDLE_CLOSING);
    });
    if (wait && posted) m_handleEvent.Wait(kCloseWaitMs);
    std::lock_guard<std::recursive_mutex> linkLock(t->link->mutex);
    t->link->owner = nullptr;
}

void CVellINet::DetachConnection(bool wait) {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        c.swap(m_connection);
    }
    if (!c) return;
    m_handleEvent.Reset();
    const bool posted = CINetWorker::Post([c] {
        CINetWorker::Notify(c->link, c.get(), INTERNET_STATUS_HANDLE_CLOSING);
    });
    if (wait && posted) m_handleEvent.Wait(kCloseWaitMs);
    std::lock_guard<std::recursive_mutex> linkLock(c->link->mutex);
    c->link->owner = nullptr;
}

int CVellINet::MakeHttpConnection(VellINetStatusCallback callback, void* context, const char* serverName, int port,
                                  const char* verb, const char* objectPath, const char* acceptType,
                                  unsigned long flags) {
    QF_TRACE("CVellINet::MakeHttpConnection");
    DetachConnection(false);
    if (!callback) {
        QF_LOG_ERROR("No status callback given");
        return -1;
    }
    m_statusCallback.store(callback);
    m_context.store(context);

    if (!g_rootOpen.load() || !CINetWorker::IsRunning() || !serverName || !*serverName || port <= 0 ||
        port > 65535) {
        QF_LOG_ERROR("Error opening internet connection");
        return -1;
    }
    auto connection = std::make_shared<Connection>();
    connection->server = serverName;
    connection->port = port;
    connection->link = std::make_shared<INetLink>();
    connection->link->owner = this;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_connection = connection;
    }
    if (!CINetWorker::Post([connection] {
            CINetWorker::Notify(connection->link, connection.get(), INTERNET_STATUS_HANDLE_CREATED);
        })) {
        QF_LOG_ERROR("Error opening internet connection");
        return -1;
    }
    if (!m_handleEvent.Wait(kHandleWaitMs)) {
        QF_LOG_ERROR("Timed out waiting for the connection handle");
        return -1;
    }

    DetachRequest(false);
    m_handleEvent.Reset();

    auto t = std::make_shared<INetTransfer>();
    t->easy = curl_easy_init();
    std::string path = objectPath ? objectPath : "";
    if (path.empty() || path[0] != '/') path.insert(0, "/");
    const std::string url = "http://" + std::string(serverName) + ":" + std::to_string(port) + path;
    if (!t->easy || curl_easy_setopt(t->easy, CURLOPT_URL, url.c_str()) != CURLE_OK) {
        QF_LOG_ERROR("Error opening http connection");
        return -2;
    }
    QF_LOG_DEBUG("%s %s (flags 0x%lx)", verb ? verb : "GET", url.c_str(), flags);
    t->link = std::make_shared<INetLink>();
    t->link->owner = this;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_request = t;
        m_requestSent = false;
        m_verb = (verb && *verb) ? verb : "GET";
        m_headers.clear();
        if (acceptType && *acceptType) {
            std::string accept = acceptType;
            while (!accept.empty() && (accept.back() == '\n' || accept.back() == '\r')) accept.pop_back();
            m_headers.push_back("Accept: " + accept);
        }
    }
    if (!CINetWorker::Post([t] { CINetWorker::Notify(t->link, t.get(), INTERNET_STATUS_HANDLE_CREATED); })) {
        QF_LOG_ERROR("Error opening http connection");
        return -2;
    }
    if (!m_handleEvent.Wait(kHandleWaitMs)) {
        QF_LOG_ERROR("Timed out waiting for the request handle");
        return -1;
    }
    QF_LEAVE();
    return 1;
}

int CVellINet::AddRequestHeaders(const char* headers, unsigned long modifiers) {
    QF_TRACE("CVellINet::AddRequestHeaders");
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (!m_request) {
        QF_LOG_ERROR("Http Request object found null");
        return -1;
    }
    if (!headers || m_requestSent) {
        QF_LOG_ERROR("Error adding request header");
        return -1;
    }
    // Check every line first so that a bad group changes nothing.
    std::vector<std::string> lines;
    std::string text = headers;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line.empty()) continue;
        const std::string name = HeaderName(line);
        if (name.empty() || name.find_first_of(" \t") != std::string::npos) {
            QF_LOG_ERROR("Error adding request header");
            return -1;
        }
        lines.push_back(line);
    }
    if (lines.empty()) {
        QF_LOG_ERROR("Error adding request header");
        return -1;
    }
    std::vector<std::string> result = m_headers;
    for (const std::string& line : lines) {
        const std::string name = HeaderName(line);
        auto existing = result.end();
        for (auto it = result.begin(); it != result.end(); ++it)
            if (SameName(HeaderName(*it), name)) existing = it;
        if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
            if (existing != result.end()) *existing = line;
            else result.push_back(line);
        } else if (modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) {
            if (existing != result.end()) {
                QF_LOG_ERROR("Error adding request header");
                return -1;
            }
            result.push_back(line);
        } else {
            result.push_back(line);
        }
    }
    m_headers.swap(result);
    QF_LEAVE();
    return 1;
}

int CVellINet::SendRequest(const char* body, unsigned long length) {
    QF_TRACE("CVellINet::SendRequest");
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_responseText.clear();
    m_truncated = false;
    if (!m_request || m_requestSent || (!body && length > 0)) {
        QF_LOG_ERROR("%s", GetErrorText(ERROR_INTERNET_INCORRECT_HANDLE_STATE));
        QF_LOG_ERROR("Error sending http request");
        return -1;
    }
    const std::shared_ptr<INetTransfer> t = m_request;
    CURL* e = t->easy;
    bool hasContentType = false;
    for (const std::string& h : m_headers) {
        t->headers = curl_slist_append(t->headers, h.c_str());
        if (SameName(HeaderName(h), "Content-Type")) hasContentType = true;
    }
    // Only what the caller asked for goes out: no "Expect: 100-continue" and
    // no form content type of curl's own.
    t->headers = curl_slist_append(t->headers, "Expect:");
    if (!hasContentType) t->headers = curl_slist_append(t->headers, "Content-Type:");

    bool ok = t->headers != nullptr;
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers) == CURLE_OK;
    curl_easy_setopt(e, CURLOPT_USERAGENT, "quarvoFON");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(g_connectTimeoutMs.load()));
    t->receiveTimeoutMs = g_receiveTimeoutMs.load();
    const std::string proxy = SystemProxy();
    curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
    if (!proxy.empty()) {
        const std::string noProxy = Env("no_proxy", "NO_PROXY");
        if (!noProxy.empty()) curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy.c_str());
    }
    if (m_verb == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http");
        t->followRedirects = true;
    } else {
        if (m_verb == "POST") {
            curl_easy_setopt(e, CURLOPT_POST, 1L);
        } else {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, m_verb.c_str());
        }
        if (m_verb == "POST" || length > 0) {
            ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length)) == CURLE_OK;
            ok = ok && curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, length ? body : "") == CURLE_OK;
        }
    }
    if (!ok) {
        QF_LOG_ERROR("%s", GetErrorText(ERROR_INTERNET_INTERNAL_ERROR));
        QF_LOG_ERROR("Error sending http request");
        return -1;
    }
    if (!CINetWorker::Post([t] { CINetWorker::Add(t); })) {
        QF_LOG_ERROR("%s", GetErrorText(12012));
        QF_LOG_ERROR("Error sending http request");
        return -1;
    }
    m_requestSent = true;
    QF_LEAVE();
    return 1;
}

void CVellINet::Append(const std::string& chunk) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    // Cannot grow: drop this chunk and every later one, so that what is kept
    // is always the reply's beginning and never a splice of its pieces.
    if (m_truncated || m_used + chunk.size() > kMaxResponseBytes) {
        m_truncated = true;
        return;
    }
    if (m_responseBuffer.size() < m_used + chunk.size()) m_responseBuffer.resize(m_used + chunk.size());
    std::memcpy(m_responseBuffer.data() + m_used, chunk.data(), chunk.size());
    m_used += chunk.size();
}

int CVellINet::CheckForData() {
    QF_TRACE("CVellINet::CheckForData");
    std::shared_ptr<INetTransfer> t;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_requestSent) t = m_request;
    }
    if (!t) {
        QF_LOG_ERROR("%s", GetErrorText(ERROR_INTERNET_INCORRECT_HANDLE_STATE));
        return 3;
    }
    std::string chunk;
    bool resume = false, done, headersDone;
    int error;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        chunk.swap(t->pending);
        resume = t->paused;
        done = t->done;
        error = t->error;
        headersDone = t->headersDone;
    }
    if (!chunk.empty()) {
        if (resume) CINetWorker::Post([t] { CINetWorker::Resume(t); });
        Append(chunk);
        QF_LEAVE();
        return 1;
    }
    if (!done) {
        QF_LEAVE();
        return 1;
    }
    if (error || !headersDone) {
        QF_LOG_ERROR("%s", GetErrorText(error ? error : ERROR_HTTP_INVALID_SERVER_RESPONSE));
        return 3;
    }
    QF_LEAVE();
    return 2;
}

bool CVellINet::GetHttpStatusCode(int& statusCode) {
    QF_TRACE("CVellINet::GetHttpStatusCode");
    std::shared_ptr<INetTransfer> t;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        t = m_request;
    }
    if (!t) {
        QF_LOG_ERROR("%s", GetErrorText(ERROR_INTERNET_INCORRECT_HANDLE_STATE));
        return false;
    }
    std::lock_guard<std::mutex> lock(t->mutex);
    if (!t->headersDone) {
        QF_LOG_ERROR("%s", GetErrorText(ERROR_HTTP_HEADER_NOT_FOUND));
        return false;
    }
    statusCode = static_cast<int>(t->httpStatus);
    QF_LEAVE();
    return true;
}

std::string CVellINet::GetResponseText() {
    QF_TRACE("CVellINet::GetResponseText");
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const char* data = m_responseBuffer.data();
    m_responseText.assign(data, m_used ? strnlen(data, m_used) : 0);
    QF_LEAVE();
    return m_responseText;
}

size_t CVellINet::GetResponseLength() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_used;
}

void CVellINet::Close() {
    QF_TRACE("CVellINet::Close");
    if (m_closed.exchange(1) == 1) {
        QF_LEAVE();
        return;
    }
    // Called from a status callback, the transfer thread cannot wait for
    // itself: the handles are let go at once then.
    const bool wait = !CINetWorker::IsWorkerThread();
    DetachRequest(wait);
    DetachConnection(wait);
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_used = 0;
        m_truncated = false;
    }
    QF_LEAVE();
}

void CVellINet::ClosedByINet() {
    QF_TRACE("CVellINet::ClosedByINet");
    m_closed.store(1);
    DetachRequest(false);
    DetachConnection(false);
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_used = 0;
        m_truncated = false;
    }
    QF_LEAVE();
}

void CVellINet::StatusCallBack(void* handle, void* context, unsigned long status, const void* statusInfo,
                               unsigned long statusInfoLength) {
    auto* self = static_cast<CVellINet*>(context);
    if (!self) return;
    const VellINetStatusCallback callback = self->m_statusCallback.load();
    if (!callback) return;
    if (self->m_closed.load() == 1) {
        self->m_handleEvent.Set();
        return;
    }
    void* const user = self->m_context.load();
    const char* name = StatusName(status);
    const char* fn = "CVellINet::StatusCallBack";
    if (name) QF_LOG_AT(CLogger::LEVEL_INFO, fn, "********%s Entering********", name);
    else QF_LOG_AT(CLogger::LEVEL_INFO, fn, "********default: Entering********");

    switch (status) {
    case INTERNET_STATUS_CONNECTING_TO_SERVER: callback("Connecting to server", 1, user); break;
    case INTERNET_STATUS_CONNECTED_TO_SERVER: callback("Connected to server", 1, user); break;
    case INTERNET_STATUS_SENDING_REQUEST: callback("Sending request", 1, user); break;
    case INTERNET_STATUS_REQUEST_SENT: callback("Request sent", 1, user); break;
    case INTERNET_STATUS_RECEIVING_RESPONSE:
    case INTERNET_STATUS_RESPONSE_RECEIVED: callback("Receiving response", 1, user); break;
    case INTERNET_STATUS_REDIRECT: callback("Server redirected", 1, user); break;
    case INTERNET_STATUS_HANDLE_CREATED: self->m_handleEvent.Set(); break;
    case INTERNET_STATUS_REQUEST_COMPLETE: {
        INetAsyncResult result{0, ERROR_INTERNET_INTERNAL_ERROR};
        if (statusInfo && statusInfoLength >= sizeof(result)) std::memcpy(&result, statusInfo, sizeof(result));
        if (result.error == 0) {
            callback("Request complete", 2, user);
        } else {
            const int error = static_cast<int>(result.error);
            QF_LOG_AT(CLogger::LEVEL_ERROR, fn, "%s", GetErrorText(error));
            const std::string text = std::string(GetErrorText(error)) + " Try again";
            callback(text.c_str(), -1, user);
        }
        break;
    }
    default:
        QF_LOG_AT(CLogger::LEVEL_DEBUG, fn, "status %lu on handle %p", status, handle);
        break;
    }

    if (name) QF_LOG_AT(CLogger::LEVEL_INFO, fn, "########%s Leaving########", name);
    else QF_LOG_AT(CLogger::LEVEL_INFO, fn, "########default: Leaving########");
}

int CVellINet::MakeHexString(const unsigned char* bytes, int count, char* out) {
    return CHexText::MakeHexString(bytes, count, out);
}

int CVellINet::HexStringToBytes(const char* hex, unsigned char* out, size_t outSize) {
    return CHexText::HexStringToBytes(hex, out, outSize);
}

const char* CVellINet::GetErrorText(int errorNumber) {
    switch (errorNumber) {
    case 12001: return "No more handles could be generated at this time.";
    case 12002: return "The request has timed out.";
    case 12003: return "An extended error was returned from the server.";
    case 12004: return "An internal error has occurred.";
    case 12005: return "The URL is invalid.";
    case 12006: return "The URL scheme could not be recognized or is not supported.";
    case 12007: return "The server name could not be resolved.";
    case 12008: return "The requested protocol could not be located.";
    case 12011: return "The request option cannot be set, only queried.";
    case 12012: return "The Win32 Internet function support is being shut down or unloaded.";
    case 12016: return "The requested operation is invalid.";
    case 12017: return "The operation was canceled, ";
    case 12018: return "The type of handle supplied is incorrect for this operation.";
    case 12019:
        return "The requested operation cannot be carried out because the handle supplied is not in the correct "
               "state.";
    case 12020: return "The request cannot be made via a proxy.";
    case 12021: return "A required registry value could not be located.";
    case 12022: return "A required registry value was located but is an incorrect type or has an invalid value.";
    case 12023: return "Direct network access cannot be made at this time.";
    case 12024: return "An asynchronous request could not be made because a zero context value was supplied.";
    case 12025: return "An asynchronous request could not be made because a callback function has not been set.";
    case 12026: return "The required operation could not be completed because one or more requests are pending.";
    case 12027: return "The format of the request is invalid.";
    case 12028: return "The requested item could not be located.";
    case 12029: return "The attempt to connect to the server failed.";
    case 12030: return "The connection with the server has been terminated.";
    case 12031: return "The connection with the server has been reset.";
    case 12032: return "Calls for the Win32 Internet function to redo the request.";
    case 12033: return "The request to the proxy was invalid.";
    case 12036: return "The request failed because the handle already exists.";
    case 12038: return "SSL certificate common name (host name field) is incorrect.";
    case 12150: return "The requested header could not be located.";
    case 12151: return "The server did not return any headers.";
    case 12152: return "The server response could not be parsed.";
    case 12153: return "The supplied header is invalid.";
    case 12154: return "The request made to HttpQueryInfo is invalid.";
    case 12155: return "The header could not be added because it already exists.";
    case 12156: return "The redirection failed because either the scheme changed";
    default: return "Unkown Error";
    }
}
