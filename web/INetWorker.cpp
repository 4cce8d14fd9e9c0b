#include "web/INetWorker.h"

#include "app/Trace.h"
#include "web/INetDefs.h"
#include "web/INetTransfer.h"
#include "web/VellINet.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Thread state. The queue and the running flag are shared; the multi
// handle and the set of transfers belong to the thread.
struct WorkerState {
    std::mutex mutex;
    std::deque<std::function<void()>> queue;
    std::thread thread;
    std::thread::id threadId;
    CURLM* multi = nullptr;
    bool running = false;
    bool stopping = false;
    std::set<std::shared_ptr<INetTransfer>> active;
};

WorkerState& State() {
    static WorkerState state;
    return state;
}

std::mutex g_startMutex;

void Touch(INetTransfer* t) { t->lastActivity = Clock::now(); }

// Ends a transfer: takes it out of the multi handle, records the outcome
// and, when the failure came before the reply's headers, reports it.
void Finish(const std::shared_ptr<INetTransfer>& t, int error) {
    WorkerState& s = State();
    if (t->inMulti) {
        curl_multi_remove_handle(s.multi, t->easy);
        t->inMulti = false;
    }
    if (t->finished) return;
    t->finished = true;
    bool headersDone;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->done = true;
        t->error = error;
        headersDone = t->headersDone;
    }
    s.active.erase(t);
    if (!headersDone) {
        // Finished without a complete reply head: a clean end here means the
        // server sent something we cannot read as HTTP.
        INetAsyncResult result{0, static_cast<unsigned long>(error ? error : ERROR_HTTP_INVALID_SERVER_RESPONSE)};
        CINetWorker::Notify(t->link, t.get(), INTERNET_STATUS_REQUEST_COMPLETE, &result, sizeof(result));
    }
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<INetTransfer*>(user);
    const size_t n = size * count;
    std::string line(data, n);
    Touch(t);
    if (line.rfind("HTTP/", 0) == 0) {
        long status = 0;
        const size_t sp = line.find(' ');
        if (sp != std::string::npos) status = std::strtol(line.c_str() + sp + 1, nullptr, 10);
        if (!t->sawStatusLine) {
            t->sawStatusLine = true;
            CINetWorker::Notify(t->link, t, INTERNET_STATUS_REQUEST_SENT);
            CINetWorker::Notify(t->link, t, INTERNET_STATUS_RECEIVING_RESPONSE);
        }
        t->blockStatus = status;
        t->sawLocation = false;
        return n;
    }
    if (strncasecmp(line.c_str(), "Location:", 9) == 0) t->sawLocation = true;
    if (line == "\r\n" || line == "\n") {
        if (t->blockStatus >= 100 && t->blockStatus < 200) {
            CINetWorker::Notify(t->link, t, INTERNET_STATUS_INTERMEDIATE_RESPONSE);
            return n;
        }
        if (t->followRedirects && t->sawLocation && t->blockStatus >= 300 && t->blockStatus < 400) {
            CINetWorker::Notify(t->link, t, INTERNET_STATUS_REDIRECT);
            return n;
        }
        {
            std::lock_guard<std::mutex> lock(t->mutex);
            t->headersDone = true;
            t->httpStatus = t->blockStatus;
        }
        CINetWorker::Notify(t->link, t, INTERNET_STATUS_RESPONSE_RECEIVED);
        INetAsyncResult ok{1, 0};
        CINetWorker::Notify(t->link, t, INTERNET_STATUS_REQUEST_COMPLETE, &ok, sizeof(ok));
    }
    return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<INetTransfer*>(user);
    const size_t n = size * count;
    std::lock_guard<std::mutex> lock(t->mutex);
    if (t->pending.size() >= CINetWorker::kPendingLimit) {
        // The owner has not caught up; curl keeps this chunk until Resume.
        t->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    t->pending.append(data, n);
    t->lastActivity = Clock::now();
    return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* t = static_cast<INetTransfer*>(user);
    if (down != t->lastDown || up != t->lastUp) {
        t->lastDown = down;
        t->lastUp = up;
        Touch(t);
    }
    return 0;
}

curl_socket_t OnOpenSocket(void* user, curlsocktype, struct curl_sockaddr* address) {
    auto* t = static_cast<INetTransfer*>(user);
    CINetWorker::Notify(t->link, t, INTERNET_STATUS_NAME_RESOLVED);
    CINetWorker::Notify(t->link, t, INTERNET_STATUS_CONNECTING_TO_SERVER);
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int OnConnected(void* user, char*, char*, int, int) {
    auto* t = static_cast<INetTransfer*>(user);
    if (!t->connected) {
        t->connected = true;
        CINetWorker::Notify(t->link, t, INTERNET_STATUS_CONNECTED_TO_SERVER);
    }
    Touch(t);
    CINetWorker::Notify(t->link, t, INTERNET_STATUS_SENDING_REQUEST);
    return CURL_PREREQFUNC_OK;
}

void CheckIdle() {
    WorkerState& s = State();
    const auto now = Clock::now();
    std::vector<std::shared_ptr<INetTransfer>> expired;
    for (const auto& t : s.active) {
        bool paused;
        {
            std::lock_guard<std::mutex> lock(t->mutex);
            paused = t->paused;
        }
        if (paused || !t->connected) continue;  // connecting is bounded by curl's own time-out
        if (now - t->lastActivity > std::chrono::milliseconds(t->receiveTimeoutMs)) expired.push_back(t);
    }
    for (const auto& t : expired) Finish(t, ERROR_INTERNET_TIMEOUT);
}

void Run() {
    WorkerState& s = State();
    for (;;) {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            work.swap(s.queue);
            if (s.stopping && work.empty()) break;
        }
        for (auto& fn : work) fn();

        int running = 0;
        curl_multi_perform(s.multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(s.multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            INetTransfer* raw = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
            const CURLcode code = msg->data.result;
            std::shared_ptr<INetTransfer> t;
            for (const auto& a : s.active)
                if (a.get() == raw) t = a;
            if (!t) continue;
            int error = 0;
            if (code != CURLE_OK) {
                long osErrno = 0;
                curl_easy_getinfo(t->easy, CURLINFO_OS_ERRNO, &osErrno);
                error = CINetWorker::MapCurlError(code, osErrno);
                QF_LOG_AT(CLogger::LEVEL_DEBUG, "CINetWorker::Run", "transfer ended: curl %d (%s), errno %ld",
                          static_cast<int>(code), curl_easy_strerror(code), osErrno);
            }
            Finish(t, error);
        }
        CheckIdle();
        curl_multi_poll(s.multi, nullptr, 0, 100, nullptr);
    }
    // Shutting down: whatever still runs ends as cancelled.
    auto remaining = s.active;
    for (const auto& t : remaining) {
        if (t->inMulti) {
            curl_multi_remove_handle(s.multi, t->easy);
            t->inMulti = false;
        }
        t->finished = true;
        std::lock_guard<std::mutex> lock(t->mutex);
        t->done = true;
        t->error = ERROR_INTERNET_OPERATION_CANCELLED;
    }
    s.active.clear();
}

} // namespace

int CINetWorker::Start() {
    QF_TRACE("CINetWorker::Start");
    std::lock_guard<std::mutex> startLock(g_startMutex);
    WorkerState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.running) {
            QF_LEAVE();
            return 1;
        }
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        QF_LOG_ERROR("curl_global_init failed");
        return -1;
    }
    s.multi = curl_multi_init();
    if (!s.multi) {
        QF_LOG_ERROR("curl_multi_init failed");
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = false;
        s.running = true;
        s.queue.clear();
    }
    s.thread = std::thread(Run);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.threadId = s.thread.get_id();
    }
    QF_LEAVE();
    return 1;
}

void CINetWorker::Stop() {
    QF_TRACE("CINetWorker::Stop");
    std::lock_guard<std::mutex> startLock(g_startMutex);
    WorkerState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.running) {
            QF_LEAVE();
            return;
        }
        s.stopping = true;
    }
    curl_multi_wakeup(s.multi);
    if (s.thread.joinable() && s.thread.get_id() != std::this_thread::get_id()) s.thread.join();
    else if (s.thread.joinable()) s.thread.detach();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        curl_multi_cleanup(s.multi);
        s.multi = nullptr;
        s.running = false;
        s.stopping = false;
        s.threadId = std::thread::id();
        s.queue.clear();
    }
    QF_LEAVE();
}

bool CINetWorker::IsRunning() {
    WorkerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.running && !s.stopping;
}

bool CINetWorker::IsWorkerThread() {
    WorkerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.running && s.threadId == std::this_thread::get_id();
}

bool CINetWorker::Post(std::function<void()> fn) {
    WorkerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.running || s.stopping) return false;
    s.queue.push_back(std::move(fn));
    // Under the lock, so that Stop cannot free the multi handle meanwhile.
    curl_multi_wakeup(s.multi);
    return true;
}

void CINetWorker::Add(const std::shared_ptr<INetTransfer>& t) {
    WorkerState& s = State();
    if (t->inMulti || t->finished) return;
    curl_easy_setopt(t->easy, CURLOPT_PRIVATE, t.get());
    curl_easy_setopt(t->easy, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(t->easy, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(t->easy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(t->easy, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(t->easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(t->easy, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(t->easy, CURLOPT_XFERINFODATA, t.get());
    curl_easy_setopt(t->easy, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
    curl_easy_setopt(t->easy, CURLOPT_OPENSOCKETDATA, t.get());
    curl_easy_setopt(t->easy, CURLOPT_PREREQFUNCTION, OnConnected);
    curl_easy_setopt(t->easy, CURLOPT_PREREQDATA, t.get());
    Touch(t.get());
    Notify(t->link, t.get(), INTERNET_STATUS_RESOLVING_NAME);
    if (curl_multi_add_handle(s.multi, t->easy) != CURLM_OK) {
        s.active.insert(t);
        Finish(t, ERROR_INTERNET_INTERNAL_ERROR);
        return;
    }
    t->inMulti = true;
    s.active.insert(t);
}

void CINetWorker::Remove(const std::shared_ptr<INetTransfer>& t) {
    WorkerState& s = State();
    if (t->inMulti) {
        curl_multi_remove_handle(s.multi, t->easy);
        t->inMulti = false;
    }
    if (!t->finished) {
        t->finished = true;
        std::lock_guard<std::mutex> lock(t->mutex);
        t->done = true;
        t->error = ERROR_INTERNET_OPERATION_CANCELLED;
    }
    s.active.erase(t);
}

void CINetWorker::Resume(const std::shared_ptr<INetTransfer>& t) {
    if (!t->inMulti) return;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        if (!t->paused) return;
        t->paused = false;
    }
    Touch(t.get());
    curl_easy_pause(t->easy, CURLPAUSE_CONT);
}

void CINetWorker::Notify(const std::shared_ptr<INetLink>& link, void* handle, unsigned long status,
                         const void* info, unsigned long infoLength) {
    if (!link) return;
    std::lock_guard<std::recursive_mutex> lock(link->mutex);
    if (!link->owner) return;
    CVellINet::StatusCallBack(handle, link->owner, status, info, infoLength);
}

int CINetWorker::MapCurlError(int curlCode, long osErrno) {
    switch (curlCode) {
    case CURLE_OK: return 0;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return osErrno == ECONNRESET ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_ABORTED_BY_CALLBACK: return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_TOO_MANY_REDIRECTS: return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_PEER_FAILED_VERIFICATION: return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    case CURLE_PROXY: return ERROR_INTERNET_INVALID_PROXY_REQUEST;
    case CURLE_OUT_OF_MEMORY: return ERROR_INTERNET_OUT_OF_HANDLES;
    default: return ERROR_INTERNET_INTERNAL_ERROR;
    }
}
