#pragma once
// Helpers for the call tests: a child process that is always stopped, a
// free UDP port on 127.0.0.1, and a recorder for the stack's events.
#include "signalling/SessionProtocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qf::test {

// A free UDP port on 127.0.0.1 (closed again before it is used).
inline int FreeUdpPort(const char* address = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// A started program, killed on destruction when still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Kill(); }

    // Starts argv[0] (searched in PATH) with stdout and stderr into outFile.
    bool Start(const std::vector<std::string>& args, const std::string& outFile) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        // Its own process group, so that whatever it starts goes with it.
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        const int rc = posix_spawnp(&m_pid, argv[0], &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) m_pid = -1;
        return m_pid > 0;
    }

    // Exit code, or -1 when it did not end in time (it is then killed).
    int Wait(std::chrono::milliseconds timeout) {
        if (m_pid <= 0) return m_status;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int st = 0;
            const pid_t r = waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return m_status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Kill();
        return -1;
    }

    // Asks it to end (SIGTERM), then kills it after grace.
    void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000)) {
        if (m_pid <= 0) return;
        kill(-m_pid, SIGTERM);
        Wait(grace);
    }

    void Kill() {
        if (m_pid <= 0) return;
        kill(-m_pid, SIGKILL);
        int st = 0;
        waitpid(m_pid, &st, 0);
        m_pid = -1;
        m_status = -1;
    }

    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// Collects the stack's callbacks; the owner pointer given to Init is the
// recorder itself.
class EventRecorder {
public:
    struct Entry {
        int status;
        bool hasData;
        SipData data;
    };

    static int Callback(int status, CquarvoFONDlg* owner, SipData* data) {
        auto* self = reinterpret_cast<EventRecorder*>(owner);
        Entry e{status, data != nullptr, {}};
        if (data) e.data = *data;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_all.push_back(e);
            self->m_pending.push_back(e);
        }
        self->m_cv.notify_all();
        return 0;
    }

    CquarvoFONDlg* Owner() { return reinterpret_cast<CquarvoFONDlg*>(this); }

    // The next event (in order), or status 0x7fff when none came in time.
    Entry Next(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, timeout, [this] { return !m_pending.empty(); })) return Entry{0x7fff, false, {}};
        Entry e = m_pending.front();
        m_pending.pop_front();
        return e;
    }

    // Skips events until one with the given status arrives.
    Entry WaitFor(int status, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Entry{0x7fff, false, {}};
            Entry e = Next(left);
            if (e.status == status || e.status == 0x7fff) return e;
        }
    }

    std::vector<int> Statuses() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<int> out;
        for (const auto& e : m_all) out.push_back(e.status);
        return out;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Entry> m_pending;
    std::vector<Entry> m_all;
};

inline std::string Join(const std::vector<int>& v) {
    std::string s;
    for (int x : v) s += (s.empty() ? "" : ",") + std::to_string(x);
    return s;
}

} // namespace qf::test
