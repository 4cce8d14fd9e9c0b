#pragma once
// One running instance per user, and the hand-over from a later one.
//
// The first instance holds an exclusive lock on "<dir>/<name>.lock" for
// its whole life and listens on the Unix socket "<dir>/<name>.sock". The
// kernel drops the lock when its holder dies, so a crashed instance never
// blocks the next start; the new owner replaces the old socket file.
//
// A later instance finds the lock taken, connects, checks that the peer
// process runs the expected executable (by base name, exactly), and sends
// one hand-over record: always "come to the front", optionally a block of
// data like a window's copy-data message. An outside program may instead
// send the dial-from-web notice (flag bit 1, no data): it has written a
// number into the settings and asks the window to dial it. It waits, bounded, for the
// first instance's answer, as a synchronous window message would.
//
// Record on the wire (little-endian): "QFHO", version 1, flags (bit 0:
// data present, bit 1: dial-from-web notice), 2 reserved bytes, dwData u32, cbData u32, cbData bytes
// (at most kMaxData). Answer: "QFHR", result i32.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileLock.h"

namespace qf::platform {

struct HandOverMessage {
    bool dialFromWeb = false; // the dial-from-web notice instead of a hand-over
    bool hasData = false;
    uint32_t dwData = 0;
    std::vector<unsigned char> data; // cbData is its size
};

class CSingleInstance {
public:
    static constexpr uint32_t kMaxData = 4096;

    // Runs on the listener thread for every hand-over; its result goes
    // back to the sender.
    using Handler = std::function<int32_t(const HandOverMessage&)>;

    // dir: a private folder of the user ("" for DefaultDir()).
    explicit CSingleInstance(std::string name, std::string dir = "");
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    // $XDG_RUNTIME_DIR/quarvofon, else /tmp/quarvofon-<uid>; created
    // private to the user.
    static std::string DefaultDir();

    // True when this process is now the only instance (the lock is ours).
    bool TryBecomeFirst();
    bool IsFirst() const { return m_lock.Held(); }

    // First instance: accept hand-overs until Stop or destruction.
    bool StartListening(Handler handler);
    void StopListening();

    // Later instance: 1 delivered (answer in *answer), 0 no matching
    // running instance could be reached, -1 failure during the exchange.
    int HandOver(const std::string& expectedExeName, const HandOverMessage& msg, int timeoutMs,
                 int32_t* answer = nullptr) const;

    std::string SocketPath() const { return m_dir + "/" + m_name + ".sock"; }
    std::string LockPath() const { return m_dir + "/" + m_name + ".lock"; }

private:
    void ListenLoop();
    void ServeOne(int fd);

    std::string m_name;
    std::string m_dir;
    CFileLock m_lock;
    Handler m_handler;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::thread m_listener;
};

} // namespace qf::platform
