#include "platform/UiThread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace qf::platform {
namespace {

struct Queue {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<CUiThread::Task> tasks;
    CUiThread::Poster poster;
};

Queue& TheQueue() {
    static Queue q;
    return q;
}

} // namespace

void CUiThread::SetPoster(Poster poster) {
    auto& q = TheQueue();
    std::lock_guard<std::mutex> lk(q.lock);
    q.poster = std::move(poster);
}

void CUiThread::Post(Task task) {
    auto& q = TheQueue();
    Poster poster;
    {
        std::lock_guard<std::mutex> lk(q.lock);
        if (!q.poster) {
            q.tasks.push_back(std::move(task));
            q.ready.notify_all();
            return;
        }
        poster = q.poster;
    }
    poster(std::move(task));
}

int CUiThread::RunPending() {
    auto& q = TheQueue();
    std::deque<Task> batch;
    {
        std::lock_guard<std::mutex> lk(q.lock);
        batch.swap(q.tasks);
    }
    int n = 0;
    for (auto& t : batch) {
        if (t) t();
        ++n;
    }
    return n;
}

int CUiThread::WaitAndRun(int timeoutMs) {
    auto& q = TheQueue();
    {
        std::unique_lock<std::mutex> lk(q.lock);
        q.ready.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return !q.tasks.empty(); });
    }
    return RunPending();
}

} // namespace qf::platform
