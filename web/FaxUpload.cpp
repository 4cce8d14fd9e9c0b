#include "web/FaxUpload.h"

#include "app/Trace.h"
#include "web/INetWorker.h"
#include "web/ServiceRequest.h"
#include "web/VellINet.h"
#include "web/VellXMLParser.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {

// Feeds curl the prefix, then the file in chunks of kChunkSize, then the
// suffix.
struct BodySource {
    const std::string* prefix = nullptr;
    const std::string* suffix = nullptr;
    std::FILE* file = nullptr;
    int64_t fileLeft = 0;
    std::vector<size_t>* chunkSizes = nullptr;
    int phase = 0;  // 0 prefix, 1 file, 2 suffix, 3 done
    size_t offset = 0;
    std::vector<char> chunk;
    size_t chunkUsed = 0;
    size_t chunkFill = 0;
    bool failed = false;
};

size_t ReadBody(char* out, size_t size, size_t count, void* user) {
    auto* s = static_cast<BodySource*>(user);
    const size_t room = size * count;
    size_t written = 0;
    while (written < room && s->phase < 3) {
        if (s->phase == 0 || s->phase == 2) {
            const std::string& text = s->phase == 0 ? *s->prefix : *s->suffix;
            const size_t n = std::min(room - written, text.size() - s->offset);
            std::memcpy(out + written, text.data() + s->offset, n);
            written += n;
            s->offset += n;
            if (s->offset == text.size()) {
                s->offset = 0;
                ++s->phase;
            }
            continue;
        }
        if (s->chunkUsed == s->chunkFill) {
            if (s->fileLeft == 0) {
                s->phase = 2;
                continue;
            }
            const size_t want = static_cast<size_t>(std::min<int64_t>(s->fileLeft, CFaxUpload::kChunkSize));
            const size_t got = std::fread(s->chunk.data(), 1, want, s->file);
            if (got != want) {
                // The file changed under us; the announced length can no
                // longer be kept, so the upload is given up.
                s->failed = true;
                return CURL_READFUNC_ABORT;
            }
            s->chunkSizes->push_back(got);
            s->chunkFill = got;
            s->chunkUsed = 0;
            s->fileLeft -= static_cast<int64_t>(got);
        }
        const size_t n = std::min(room - written, s->chunkFill - s->chunkUsed);
        std::memcpy(out + written, s->chunk.data() + s->chunkUsed, n);
        written += n;
        s->chunkUsed += n;
    }
    return written;
}

size_t WriteReply(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<std::string*>(user);
    const size_t n = size * count;
    if (reply->size() + n <= CFaxUpload::kMaxReplyBytes) reply->append(data, n);
    return n;  // beyond the cap the rest is dropped, not refused
}

// Ends the transfer when nothing has moved either way for idleMs.
struct IdleWatch {
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    curl_off_t down = 0, up = 0;
    int idleMs = 0;
    bool expired = false;
};

int WatchIdle(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* w = static_cast<IdleWatch*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (down != w->down || up != w->up) {
        w->down = down;
        w->up = up;
        w->last = now;
        return 0;
    }
    if (now - w->last > std::chrono::milliseconds(w->idleMs)) {
        w->expired = true;
        return 1;
    }
    return 0;
}

int Connected(void* user, char*, char*, int, int) {
    *static_cast<bool*>(user) = true;
    return CURL_PREREQFUNC_OK;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

CFaxUpload::CFaxUpload() : CFaxUpload(CServiceRequest::WebHost(), CServiceRequest::WebPort()) {}

CFaxUpload::CFaxUpload(std::string host, int port) : m_host(std::move(host)), m_port(port) {}

void CFaxUpload::SetTimeouts(int connectMs, int idleMs) {
    if (connectMs > 0) m_connectMs = connectMs;
    if (idleMs > 0) m_idleMs = idleMs;
}

std::string CFaxUpload::FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CFaxUpload::BuildPrefix(const std::string& message, const std::string& fileName) {
    const std::string b = kBoundary;
    return "--" + b + "\r\n" + "Content-Disposition: form-data; name=\"msg\"\r\n\r\n" + message + "\r\n" + "--" +
           b + "\r\n" + "Content-Disposition: form-data; name=\"faxData\"; filename=\"" + fileName + "\"\r\n" +
           "Content-Type: application/pdf\r\n" + "Content-Transfer-Encoding: binary\r\n\r\n";
}

std::string CFaxUpload::BuildSuffix() { return std::string("\r\n--") + kBoundary + "--\r\n"; }

int CFaxUpload::UploadFax(const std::string& userId, const std::string& faxNumber, const std::string& filePath,
                          std::string& desc) {
    QF_TRACE("CFaxUpload::UploadFax");
    m_chunkSizes.clear();
    m_announced = 0;
    m_connected = false;
    desc.clear();

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(filePath.c_str(), "rb"));
    struct stat st{};
    if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        QF_LOG_ERROR("Unable to open %s", filePath.c_str());
        return FAX_FILE_UNREADABLE;
    }
    const int64_t fileLength = static_cast<int64_t>(st.st_size);
    if (fileLength == 0) {
        QF_LOG_ERROR("File %s is empty", filePath.c_str());
        return FAX_FILE_EMPTY;
    }

    const std::string stamp = CServiceRequest::UniversalTimeStamp();
    std::string message;
    if (CServiceRequest::EncipherMessage(CServiceRequest::FaxMessageText(userId, faxNumber, stamp), message) < 0) {
        QF_LOG_ERROR("Unable to encrypt data");
        desc = "Unable to encrypt data";
        return FAX_NETWORK_FAILURE;
    }
    const std::string prefix = BuildPrefix(message, FileNameOf(filePath));
    const std::string suffix = BuildSuffix();
    m_announced = static_cast<int64_t>(prefix.size()) + fileLength + static_cast<int64_t>(suffix.size());

    CURL* easy = curl_easy_init();
    if (!easy) {
        QF_LOG_ERROR("Unable to open the internet session");
        desc = CVellINet::GetErrorText(ERROR_INTERNET_INTERNAL_ERROR);
        return FAX_NETWORK_FAILURE;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> easyGuard(easy, curl_easy_cleanup);
    curl_slist* headers = nullptr;
    char contentType[128];
    std::snprintf(contentType, sizeof(contentType), "Content-Type: multipart/form-data; boundary=%s", kBoundary);
    headers = curl_slist_append(headers, contentType);
    headers = curl_slist_append(headers, "Accept:");
    headers = curl_slist_append(headers, "Expect:");
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerGuard(headers, curl_slist_free_all);

    BodySource source;
    source.prefix = &prefix;
    source.suffix = &suffix;
    source.file = file.get();
    source.fileLeft = fileLength;
    source.chunkSizes = &m_chunkSizes;
    source.chunk.resize(kChunkSize);
    std::string reply;
    const std::string url = "http://" + m_host + ":" + std::to_string(m_port) + CServiceRequest::kApiPath;
    const std::string proxy = CVellINet::SystemProxy();
    IdleWatch idle;
    idle.idleMs = m_idleMs;

    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_announced));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, &source);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteReply);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, Connected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &m_connected);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "quarvoFON");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kChunkSize));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_connectMs));
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, WatchIdle);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &idle);
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());

    const CURLcode rc = curl_easy_perform(easy);
    file.reset();
    if (rc != CURLE_OK) {
        long osErrno = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
        const int error = idle.expired    ? ERROR_INTERNET_TIMEOUT
                          : source.failed ? ERROR_INTERNET_OPERATION_CANCELLED
                                          : CINetWorker::MapCurlError(rc, osErrno);
        desc = CVellINet::GetErrorText(error);
        QF_LOG_ERROR("Fax upload failed: %s (curl: %s)", desc.c_str(), curl_easy_strerror(rc));
        return FAX_NETWORK_FAILURE;
    }
    QF_LOG_DEBUG("Fax sent: %lld bytes announced, %zu file chunks", static_cast<long long>(m_announced),
                 m_chunkSizes.size());

    const std::string text(reply.c_str());
    if (text.empty()) {
        QF_LOG_ERROR("Empty reply to the fax upload");
        return FAX_REPLY_EMPTY;
    }
    CVellXMLParser parser;
    const int parsed = parser.ParseXMLData(text);
    desc = parser.GetDesc();
    if (parsed < 0) {
        QF_LOG_ERROR("Invalid data received");
        return FAX_REPLY_INVALID;
    }
    const int code = parser.GetCodeValue();
    QF_LEAVE();
    if (code == 1) return FAX_OK;
    if (code == -999) return FAX_REFUSED_999;
    if (code == -99) return FAX_REFUSED_99;
    return FAX_REFUSED;
}
