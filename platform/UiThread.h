#pragma once
// Work that other threads hand to the UI thread. Threads never touch the
// window themselves: they post a task. The Qt program installs a poster
// that queues the task into its event loop; without one, tasks wait in a
// plain queue that the owner of the main thread (a test, the headless
// program) runs with RunPending or WaitAndRun.
#include <functional>

namespace qf::platform {

class CUiThread {
public:
    using Task = std::function<void()>;
    using Poster = std::function<void(Task)>;

    // Installs the poster (an empty function restores the plain queue).
    static void SetPoster(Poster poster);
    static void Post(Task task);

    // Plain queue: runs every task queued so far; returns how many ran.
    static int RunPending();
    // Waits up to timeoutMs for a task, then runs what is queued.
    static int WaitAndRun(int timeoutMs);
};

} // namespace qf::platform
