#pragma once
// The process's one source of RTP SSRC values. Every RTP sender holds a
// reference; the source lives while one is held. A value is never handed
// out twice in the process, so two channels never share an SSRC.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class VESsrcSource {
public:
    // The shared source (created on the first call that holds it).
    static std::shared_ptr<VESsrcSource> Acquire();

    uint32_t Next();
    // Marks a value chosen elsewhere (VE_SetSendSSRC) as taken.
    void Reserve(uint32_t value);
    bool Used(uint32_t value) const;

    VESsrcSource();

private:
    uint32_t Draw();

    mutable std::mutex m_lock;
    std::vector<uint32_t> m_used;   // grows 10 entries at a time
};
