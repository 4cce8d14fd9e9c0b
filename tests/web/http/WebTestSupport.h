#pragma once
// Shared pieces of the HTTP tests: the lab web service on an ephemeral
// loopback port, a recorder for status callbacks, and a raw TCP peer for
// the cases where the exact bytes on the wire matter or the server must
// misbehave in ways a real HTTP server will not.
#include "lab/web/LabWebServer.h"
#include "web/INetEvent.h"
#include "web/ServiceReply.h"
#include "web/ServiceRequest.h"
#include "web/VellINet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qf::test {

// Collects what a client object reports through its status callback.
struct CallbackRecorder {
    std::mutex mutex;
    std::vector<std::pair<std::string, int>> events;
    CINetEvent finished{"test-finished"};

    static void Callback(const char* text, int code, void* context) {
        auto* self = static_cast<CallbackRecorder*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->events.emplace_back(text ? text : "", code);
        }
        if (code == 2 || code == -1) self->finished.Set();
    }
    std::vector<std::pair<std::string, int>> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    // The completion or failure report (code 2 or -1), or {"", 0}.
    std::pair<std::string, int> Outcome() {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& e : events)
            if (e.second == 2 || e.second == -1) return e;
        return {"", 0};
    }
    bool HasText(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& e : events)
            if (e.first == text) return true;
        return false;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
        finished.Reset();
    }
};

// The lab web service on 127.0.0.1 and an open HTTP client root.
class LabWebTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CVellINet::Init(), 1);
        CVellINet::SetTimeouts(5000, 5000);
        m_port = m_lab.Start("127.0.0.1", 0);
        ASSERT_GT(m_port, 0);
    }
    void TearDown() override {
        m_lab.Stop();
        CVellINet::SetTimeouts(30000, 30000);
        CVellINet::Exit();
    }

    // Sends one action line and waits (bounded) for the outcome report.
    int Send(CVellINet& client, CallbackRecorder& rec, const std::string& line, int waitMs = 8000) {
        client.SetClosed(0);
        if (CServiceRequest::INetRequest(client, line, CallbackRecorder::Callback, &rec, m_body,
                                         sizeof(m_body) - 1, "127.0.0.1", m_port) < 0)
            return -100;
        if (!rec.finished.Wait(waitMs)) return 0;
        return rec.Outcome().second;
    }

    CLabWebServer m_lab;
    int m_port = -1;
    char m_body[CServiceRequest::kBodyBufferSize + 1] = {};
};

// A loopback TCP peer that takes one connection at a time, reads one HTTP
// request (head and Content-Length body) and then does what the test
// asked: answer with given bytes, or close without a word.
class RawHttpPeer {
public:
    // reply empty: close the connection as soon as the request is in.
    explicit RawHttpPeer(std::string reply, bool readRequest = true)
        : m_reply(std::move(reply)), m_readRequest(readRequest) {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        listen(m_listen, 4);
        m_thread = std::thread([this] { Serve(); });
    }
    ~RawHttpPeer() {
        m_stop = true;
        shutdown(m_listen, SHUT_RDWR);
        close(m_listen);
        m_thread.join();
    }
    int Port() const { return m_port; }
    std::string Head() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_head;
    }
    std::string Body() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_body;
    }
    int Requests() const { return m_requests.load(); }

    // A header's value from the request head ("" when absent).
    std::string Header(const std::string& name) {
        const std::string head = Head();
        const std::string key = "\r\n" + name + ": ";
        const size_t at = head.find(key);
        if (at == std::string::npos) return "";
        const size_t from = at + key.size();
        return head.substr(from, head.find("\r\n", from) - from);
    }

private:
    void Serve() {
        while (!m_stop) {
            const int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0) return;
            timeval tv{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            std::string data;
            char buf[65536];
            size_t headEnd = std::string::npos;
            size_t want = 0;
            while (m_readRequest) {
                const ssize_t n = recv(fd, buf, sizeof(buf), 0);
                if (n <= 0) break;
                data.append(buf, static_cast<size_t>(n));
                if (headEnd == std::string::npos) {
                    headEnd = data.find("\r\n\r\n");
                    if (headEnd != std::string::npos) {
                        const std::string head = data.substr(0, headEnd + 2);
                        const size_t cl = head.find("Content-Length: ");
                        want = cl == std::string::npos ? 0 : std::stoul(head.substr(cl + 16));
                    }
                }
                if (headEnd != std::string::npos && data.size() >= headEnd + 4 + want) break;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (headEnd != std::string::npos) {
                    m_head = data.substr(0, headEnd + 2);
                    m_body = data.substr(headEnd + 4);
                }
            }
            ++m_requests;
            if (!m_reply.empty()) send(fd, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
            close(fd);
        }
    }

    std::string m_reply;
    bool m_readRequest;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::thread m_thread;
    std::mutex m_mutex;
    std::string m_head, m_body;
};

// A reply with the given body and Content-Length, closing afterwards.
inline std::string HttpReply(const std::string& body, int status = 200) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// A loopback port nobody listens on.
inline int UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

inline long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

} // namespace qf::test
