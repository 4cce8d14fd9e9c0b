#pragma once
// The one transfer thread of the process. It drives every request of every
// CVellINet object through a curl multi handle, never blocking for more
// than a short poll, and hands progress and completion to the objects'
// status callback. Everything that touches the multi handle runs on this
// thread; other threads post work to it.
#include <functional>
#include <memory>

struct INetTransfer;
struct INetLink;

class CINetWorker {
public:
    // Starts the thread (idempotent); 1, or -1 when curl cannot be set up.
    static int Start();
    // Cancels every running transfer and ends the thread.
    static void Stop();
    static bool IsRunning();
    static bool IsWorkerThread();

    // Runs fn on the transfer thread; false when the thread is not running.
    static bool Post(std::function<void()> fn);

    // On the transfer thread only:
    static void Add(const std::shared_ptr<INetTransfer>& transfer);
    static void Remove(const std::shared_ptr<INetTransfer>& transfer);
    static void Resume(const std::shared_ptr<INetTransfer>& transfer);

    // Hands one status notification to the link's owner, if any.
    static void Notify(const std::shared_ptr<INetLink>& link, void* handle, unsigned long status,
                       const void* info = nullptr, unsigned long infoLength = 0);

    // The error number that matches a curl failure (errno decides between a
    // reset and an aborted connection).
    static int MapCurlError(int curlCode, long osErrno);

    // Above this much unread reply data a transfer is paused until the owner
    // reads it, so a reply never piles up in memory faster than it is taken.
    static constexpr size_t kPendingLimit = 256 * 1024;
};
