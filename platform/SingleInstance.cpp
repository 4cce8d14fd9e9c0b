#include "platform/SingleInstance.h"

#include "platform/Diagnostics.h"

#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace qf::platform {
namespace {

constexpr int kServeTimeoutMs = 2000;

void PutLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t GetLe32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void SetTimeouts(int fd, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SendAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool RecvAll(int fd, unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Base name of the executable a process runs, "" when unknown.
std::string ExeBaseName(pid_t pid) {
    char buf[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string path(buf, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path.substr(path.find_last_of('/') + 1);
}

bool EnsurePrivateDir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st{};
    // Must be our own real folder, not someone's symlink or shared folder.
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

} // namespace

CSingleInstance::CSingleInstance(std::string name, std::string dir)
    : m_name(std::move(name)), m_dir(dir.empty() ? DefaultDir() : std::move(dir)) {}

CSingleInstance::~CSingleInstance() {
    StopListening();
    m_lock.Release();
}

std::string CSingleInstance::DefaultDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir;
    if (runtime != nullptr && runtime[0] == '/') {
        dir = std::string(runtime) + "/quarvofon";
    } else {
        dir = "/tmp/quarvofon-" + std::to_string(::getuid());
    }
    EnsurePrivateDir(dir);
    return dir;
}

bool CSingleInstance::TryBecomeFirst() {
    if (m_lock.Held()) return true;
    EnsurePrivateDir(m_dir);
    return m_lock.Acquire(LockPath(), 0);
}

bool CSingleInstance::StartListening(Handler handler) {
    if (!m_lock.Held() || m_listener.joinable()) return false;
    sockaddr_un addr{};
    const std::string path = SocketPath();
    if (!MakeAddress(path, addr)) return false;
    // We hold the lock, so any socket file left here belongs to a dead
    // instance.
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return false;
    }
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    m_handler = std::move(handler);
    m_listenFd = fd;
    m_wakeFd = wake;
    m_listener = std::thread([this] { ListenLoop(); });
    return true;
}

void CSingleInstance::StopListening() {
    if (!m_listener.joinable()) return;
    uint64_t one = 1;
    ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
    (void)ignored;
    m_listener.join();
    ::close(m_listenFd);
    ::close(m_wakeFd);
    m_listenFd = m_wakeFd = -1;
    ::unlink(SocketPath().c_str());
}

void CSingleInstance::ListenLoop() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[1].revents & POLLIN)) return;
        if (fds[0].revents & POLLIN) {
            int c = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                ServeOne(c);
                ::close(c);
            }
        }
    }
}

void CSingleInstance::ServeOne(int fd) {
    // Only our own user may hand anything over.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) return;
    SetTimeouts(fd, kServeTimeoutMs);
    unsigned char head[16];
    if (!RecvAll(fd, head, sizeof head) || std::memcmp(head, "QFHO", 4) != 0 || head[4] != 1) return;
    HandOverMessage msg;
    msg.hasData = (head[5] & 1) != 0;
    msg.dialFromWeb = (head[5] & 2) != 0;
    msg.dwData = GetLe32(head + 8);
    const uint32_t cbData = GetLe32(head + 12);
    if (cbData > kMaxData || (!msg.hasData && cbData != 0) || (msg.hasData && msg.dialFromWeb)) {
        ReportDiagnostic(1, "CSingleInstance::ServeOne", "Refused hand-over of " + std::to_string(cbData) + " bytes");
        return;
    }
    msg.data.resize(cbData);
    if (cbData > 0 && !RecvAll(fd, msg.data.data(), cbData)) return;
    const int32_t result = m_handler ? m_handler(msg) : 0;
    unsigned char answer[8];
    std::memcpy(answer, "QFHR", 4);
    PutLe32(answer + 4, static_cast<uint32_t>(result));
    SendAll(fd, answer, sizeof answer);
}

int CSingleInstance::HandOver(const std::string& expectedExeName, const HandOverMessage& msg, int timeoutMs,
                              int32_t* answer) const {
    if (msg.data.size() > kMaxData) return -1;
    sockaddr_un addr{};
    if (!MakeAddress(SocketPath(), addr)) return 0;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    SetTimeouts(fd, timeoutMs);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd); // nobody listening (yet): no instance to find
        return 0;
    }
    // The listener must be our own user's process running the expected
    // executable; anything else does not count as the running instance.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid() ||
        ExeBaseName(cred.pid) != expectedExeName) {
        ::close(fd);
        return 0;
    }
    std::vector<unsigned char> out(16 + msg.data.size());
    std::memcpy(out.data(), "QFHO", 4);
    out[4] = 1;
    out[5] = static_cast<unsigned char>((msg.hasData ? 1 : 0) | (msg.dialFromWeb ? 2 : 0));
    PutLe32(out.data() + 8, msg.dwData);
    PutLe32(out.data() + 12, static_cast<uint32_t>(msg.data.size()));
    if (!msg.data.empty()) std::memcpy(out.data() + 16, msg.data.data(), msg.data.size());
    unsigned char reply[8];
    bool ok = SendAll(fd, out.data(), out.size()) && RecvAll(fd, reply, sizeof reply) &&
              std::memcmp(reply, "QFHR", 4) == 0;
    ::close(fd);
    if (!ok) return -1;
    if (answer) *answer = static_cast<int32_t>(GetLe32(reply + 4));
    return 1;
}

} // namespace qf::platform
