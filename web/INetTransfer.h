#pragma once
// The pieces of one HTTP request that the client object and the
// process-wide transfer thread share.
#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

class CVellINet;

// Who gets told about a handle's progress. The worker takes the mutex for
// every notification; the client object clears `owner` under it when it
// lets go of the handle, so that nothing reaches an object that has moved
// on to another request or has been destroyed.
struct INetLink {
    std::recursive_mutex mutex;
    CVellINet* owner = nullptr;
};

// One request handle: the curl easy handle with its header list and body,
// the reply data waiting to be read and the outcome.
struct INetTransfer {
    INetTransfer() = default;
    ~INetTransfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headers) curl_slist_free_all(headers);
    }
    INetTransfer(const INetTransfer&) = delete;
    INetTransfer& operator=(const INetTransfer&) = delete;

    std::shared_ptr<INetLink> link;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    int receiveTimeoutMs = 30000;
    bool followRedirects = false;

    // Touched by the transfer thread only.
    bool inMulti = false;
    bool finished = false;
    bool connected = false;
    bool sawStatusLine = false;
    bool sawLocation = false;
    long blockStatus = 0;
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;
    std::chrono::steady_clock::time_point lastActivity;

    // Shared with the client object, under `mutex`.
    std::mutex mutex;
    std::string pending;       // received, not yet taken by CheckForData
    bool paused = false;       // reading held back until the owner catches up
    bool headersDone = false;  // final status line and headers are in
    long httpStatus = 0;
    bool done = false;         // the transfer has ended, well or badly
    int error = 0;             // error number when it ended badly
};
