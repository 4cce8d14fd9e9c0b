#pragma once
// A named, manual-reset event: once set it stays set, releasing every
// waiter, until it is reset. The name only labels it in the log; it is not
// shared between processes.
#include <condition_variable>
#include <mutex>
#include <string>

class CINetEvent {
public:
    explicit CINetEvent(std::string name, bool signalled = false);

    void Set();
    void Reset();
    // True when the event is (or becomes) set within timeoutMs.
    bool Wait(int timeoutMs);
    bool IsSet();
    const std::string& Name() const { return m_name; }

private:
    std::string m_name;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled;
};
