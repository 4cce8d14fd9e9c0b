#pragma once
// An advisory lock on a lock file (flock). The kernel drops it when the
// holder's descriptor closes, including when the process dies, so a
// crashed holder never leaves a stale lock behind.
#include <string>

namespace qf::platform {

class CFileLock {
public:
    CFileLock() = default;
    ~CFileLock();
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    // Takes the exclusive lock on path (created if missing), waiting at
    // most timeoutMs (0: try once). True when held.
    bool Acquire(const std::string& path, int timeoutMs);
    void Release();
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace qf::platform
