#include "voiceengine/ImpairmentRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <queue>

#include "app/Trace.h"

namespace {

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr size_t kMaxQueued = 10000; // never hold more than this

} // namespace

bool ImpairmentProfile::ByName(const std::string& name, ImpairmentProfile& p) {
    p = ImpairmentProfile{};
    p.name = name;
    if (name == "clean") return true;
    if (name == "jitter30") {
        p.jitterMs = 30;
        p.seed = 30;
        return true;
    }
    if (name == "loss5") {
        p.lossPct = 5;
        p.seed = 5;
        return true;
    }
    if (name == "burst20") {
        p.lossPct = 20;
        p.burstLength = 3;
        p.seed = 20;
        return true;
    }
    if (name == "reorder") {
        p.reorderPct = 10;
        p.reorderMs = 25;
        p.duplicatePct = 2;
        p.seed = 7;
        return true;
    }
    return false;
}

ImpairmentRelay::~ImpairmentRelay() { Stop(); }

double ImpairmentRelay::uniform() {
    // xorshift64*: small, fast and the same everywhere.
    m_rng ^= m_rng >> 12;
    m_rng ^= m_rng << 25;
    m_rng ^= m_rng >> 27;
    return static_cast<double>((m_rng * 2685821657736338717ULL) >> 11) / 9007199254740992.0;
}

int ImpairmentRelay::Start(const ImpairmentProfile& profile, uint16_t destPort) {
    QF_TRACE("ImpairmentRelay::Start");
    Stop();
    m_profile = profile;
    m_destPort = destPort;
    m_rng = 0x9E3779B97F4A7C15ULL ^ profile.seed;
    m_inBurst = false;
    m_stats = Stats{};
    m_in = socket(AF_INET, SOCK_DGRAM, 0);
    m_out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (m_in < 0 || m_out < 0 || bind(m_in, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(m_in, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        QF_LOG_ERROR("relay sockets failed");
        Stop();
        return -1;
    }
    m_listenPort = ntohs(a.sin_port);
    m_stop = false;
    m_thread = std::thread(&ImpairmentRelay::run, this);
    QF_LEAVE();
    return 0;
}

void ImpairmentRelay::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_in >= 0) close(m_in);
    if (m_out >= 0) close(m_out);
    m_in = m_out = -1;
}

ImpairmentRelay::Stats ImpairmentRelay::GetStats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void ImpairmentRelay::run() {
    auto later = [](const Pending& a, const Pending& b) { return a.dueUs != b.dueUs ? a.dueUs > b.dueUs : a.order > b.order; };
    std::priority_queue<Pending, std::vector<Pending>, decltype(later)> queue(later);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dest.sin_port = htons(m_destPort);
    uint64_t order = 0;
    std::vector<uint8_t> buf(65536);
    // Gilbert-Elliott loss: in a burst every packet is lost; bursts start
    // with probability p and end with probability 1/burstLength, which
    // gives the asked average loss.
    const double loss = m_profile.lossPct / 100.0;
    const double endBurst = 1.0 / std::max(1.0, m_profile.burstLength);
    const double startBurst = loss >= 1.0 ? 1.0 : loss * endBurst / (1.0 - loss);

    while (!m_stop.load()) {
        int timeoutMs = 5;
        if (!queue.empty()) {
            const int64_t wait = queue.top().dueUs - nowUs();
            timeoutMs = static_cast<int>(std::clamp<int64_t>(wait / 1000, 0, 5));
        }
        pollfd pfd{m_in, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & POLLIN)) {
            const ssize_t n = recv(m_in, buf.data(), buf.size(), 0);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_stats.received;
                bool drop;
                if (m_profile.burstLength > 1.0) {
                    m_inBurst = m_inBurst ? uniform() >= endBurst : uniform() < startBurst;
                    drop = m_inBurst;
                } else {
                    drop = uniform() < loss;
                }
                if (drop || queue.size() >= kMaxQueued) {
                    ++m_stats.dropped;
                } else {
                    int64_t due = nowUs() + static_cast<int64_t>(uniform() * m_profile.jitterMs * 1000.0);
                    if (uniform() * 100.0 < m_profile.reorderPct) {
                        due += static_cast<int64_t>(m_profile.reorderMs * 1000.0);
                        ++m_stats.reordered;
                    }
                    std::vector<uint8_t> data(buf.begin(), buf.begin() + n);
                    if (uniform() * 100.0 < m_profile.duplicatePct) {
                        ++m_stats.duplicated;
                        queue.push({due + 1000, order++, data});
                    }
                    queue.push({due, order++, std::move(data)});
                }
            }
        }
        const int64_t now = nowUs();
        while (!queue.empty() && queue.top().dueUs <= now) {
            const Pending& p = queue.top();
            sendto(m_out, p.data.data(), p.data.size(), 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_stats.forwarded;
            }
            queue.pop();
        }
    }
}
