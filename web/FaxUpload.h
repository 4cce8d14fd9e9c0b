#pragma once
// Sends a document as a fax: one multipart/form-data POST to the service's
// API path carrying the enciphered _sendfax message and the file, streamed
// in 64 KiB chunks behind an announced length. Blocking; runs on the fax
// window's worker thread. Every wait is bounded, so a dead network ends the
// upload with a failure code instead of hanging it.
#include <cstdint>
#include <string>
#include <vector>

class CFaxUpload {
public:
    static constexpr const char* kBoundary = "MSG_BOUNDARY";
    static constexpr size_t kChunkSize = 65536;
    static constexpr size_t kMaxReplyBytes = 1024 * 1024;

    enum {
        FAX_OK = 1,                 // the service accepted the fax (code 1)
        FAX_FILE_UNREADABLE = -1,   // the file cannot be opened for reading
        FAX_FILE_EMPTY = -2,        // the file is empty
        FAX_REPLY_EMPTY = -3,       // the reply is empty
        FAX_REPLY_INVALID = -4,     // the reply is not a valid envelope
        FAX_REFUSED_999 = -5,       // the service answered code -999
        FAX_REFUSED_99 = -6,        // the service answered code -99
        FAX_REFUSED = -7,           // any other code, 0 included
        FAX_NETWORK_FAILURE = -8,   // connection, sending or the reply failed
    };

    // To the deployment's web host and port.
    CFaxUpload();
    explicit CFaxUpload(std::string host, int port = 80);

    // Result code as above; desc receives the reply's description (or, on a
    // network failure, the error text).
    int UploadFax(const std::string& userId, const std::string& faxNumber, const std::string& filePath,
                  std::string& desc);

    // Connecting, and silence while sending or waiting for the reply.
    void SetTimeouts(int connectMs, int idleMs);

    // The multipart text before and after the file's bytes.
    static std::string BuildPrefix(const std::string& message, const std::string& fileName);
    static std::string BuildSuffix();
    // The last path component ('/' or '\\' separated).
    static std::string FileNameOf(const std::string& path);

    // What the last upload did, for the tests and the log.
    const std::vector<size_t>& LastChunkSizes() const { return m_chunkSizes; }
    int64_t LastAnnouncedLength() const { return m_announced; }
    bool LastUploadConnected() const { return m_connected; }

private:
    std::string m_host;
    int m_port;
    int m_connectMs = 30000;
    int m_idleMs = 60000;
    std::vector<size_t> m_chunkSizes;
    int64_t m_announced = 0;
    bool m_connected = false;
};
