#pragma once
// A scripted SIP peer on 127.0.0.1 for the user agent tests: it receives
// the agent's requests and answers them as each test dictates.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

namespace qf::test {

struct MessageDeleter {
    void operator()(osip_message_t* m) const { osip_message_free(m); }
};
using MessagePtr = std::unique_ptr<osip_message_t, MessageDeleter>;

class FakePeer {
public:
    FakePeer() {
        static bool once = (parser_init(), true);
        (void)once;
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~FakePeer() { close(m_fd); }
    int Port() const { return m_port; }
    std::string PortText() const { return std::to_string(m_port); }

    // Next datagram as text (empty on timeout); remembers its sender.
    std::string ReceiveText(int timeoutMs) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return std::string();
        char buf[65536];
        socklen_t len = sizeof m_last;
        ssize_t n = recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&m_last), &len);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    // Next SIP message, skipping anything unparsable; null on timeout.
    MessagePtr Receive(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count());
            if (left <= 0) return nullptr;
            std::string text = ReceiveText(left);
            if (text.empty()) return nullptr;
            m_lastText = text;
            osip_message_t* m = nullptr;
            osip_message_init(&m);
            if (osip_message_parse(m, text.c_str(), text.size()) == 0) return MessagePtr(m);
            osip_message_free(m);
        }
    }
    // Next request of that method, skipping others.
    MessagePtr ReceiveRequest(const char* method, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count());
            MessagePtr m = Receive(left);
            if (!m) return nullptr;
            if (MSG_IS_REQUEST(m) && strcmp(m->sip_method, method) == 0) return m;
        }
        return nullptr;
    }
    const std::string& LastText() const { return m_lastText; }

    void SendText(const std::string& text) { SendTo(m_last, text); }
    void SendTo(const sockaddr_in& to, const std::string& text) {
        sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void SendToPort(int port, const std::string& text) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        SendTo(a, text);
    }

    // A response to request with the given extra header lines (each ending
    // in CRLF).
    static std::string Response(const osip_message_t* request, int status, const char* reason,
                                const std::string& extraHeaders = std::string(), bool addToTag = true) {
        std::string r = "SIP/2.0 " + std::to_string(status) + " " + reason + "\r\n";
        for (int i = 0; i < osip_list_size(&request->vias); ++i) {
            char* v = nullptr;
            osip_via_to_str(static_cast<osip_via_t*>(osip_list_get(&request->vias, i)), &v);
            r += std::string("Via: ") + v + "\r\n";
            osip_free(v);
        }
        char* s = nullptr;
        osip_from_to_str(request->from, &s);
        r += std::string("From: ") + s + "\r\n";
        osip_free(s);
        osip_to_to_str(request->to, &s);
        r += std::string("To: ") + s + (addToTag ? ";tag=peer1" : "") + "\r\n";
        osip_free(s);
        r += std::string("Call-ID: ") + request->call_id->number +
             (request->call_id->host ? std::string("@") + request->call_id->host : std::string()) + "\r\n";
        r += std::string("CSeq: ") + request->cseq->number + " " + request->cseq->method + "\r\n";
        r += extraHeaders;
        r += "Content-Length: 0\r\n\r\n";
        return r;
    }

    static std::string Header(const osip_message_t* m, const char* name) {
        osip_header_t* h = nullptr;
        osip_message_header_get_byname(m, name, 0, &h);
        return h && h->hvalue ? h->hvalue : "";
    }

private:
    int m_fd;
    int m_port;
    sockaddr_in m_last{};
    std::string m_lastText;
};

} // namespace qf::test
