#pragma once
// Receiver of the engine's runtime notifications (packet timeout, device
// problems). Called from the engine's supervision thread.
class VEObserver {
public:
    virtual ~VEObserver() = default;
    // code: 8035 packet timeout, 9013/9015 recording/playout problem,
    // 10020/10019 recording/playout error. channel: number or -1.
    virtual void Notify(int code, int channel) = 0;
};
