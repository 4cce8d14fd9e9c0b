// The fax upload: the multipart body byte for byte, chunking and the
// announced length, the reply codes from the lab web service, and uploads
// that meet a dead or vanishing server.
#include "WebTestSupport.h"

#include "web/FaxUpload.h"

#include "support/TempDir.h"

#include <random>

using namespace qf::test;

namespace {

const char* kUser = "5550001";
const char* kFaxNumber = "0049301234567";

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

TEST(FaxUploadFiles, MissingOrEmptyFilesFailBeforeAnyConnection) {
    TempDir dir;
    WriteFile(dir.file("empty.pdf"), "");
    RawHttpPeer peer(HttpReply(CLabWebServer::Envelope("1", "1", "ok", "")));
    CFaxUpload upload("127.0.0.1", peer.Port());
    const std::pair<std::string, int> cases[] = {
        {dir.file("empty.pdf"), CFaxUpload::FAX_FILE_EMPTY},
        {dir.file("missing.pdf"), CFaxUpload::FAX_FILE_UNREADABLE},
        {dir.path().string(), CFaxUpload::FAX_FILE_UNREADABLE},  // a folder is not a document
    };
    for (const auto& [path, code] : cases) {
        std::string desc = "old";
        EXPECT_EQ(upload.UploadFax(kUser, kFaxNumber, path, desc), code) << path;
        EXPECT_FALSE(upload.LastUploadConnected());
        EXPECT_EQ(desc, "");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peer.Requests(), 0);
}

TEST(FaxUploadFiles, BodyIsExactlyPrefixFileAndSuffixInWholeChunks) {
    TempDir dir;
    const struct {
        size_t size;
        std::vector<size_t> chunks;
    } cases[] = {
        {1, {1}},
        {65536, {65536}},
        {65537, {65536, 1}},
        {200000, {65536, 65536, 65536, 3392}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string content = RandomBytes(c.size, static_cast<unsigned>(c.size));
        const std::string path = dir.file("sub dir/report " + std::to_string(c.size) + ".pdf");
        std::filesystem::create_directories(dir.path() / "sub dir");
        WriteFile(path, content);

        RawHttpPeer peer(HttpReply(CLabWebServer::Envelope("1", "1", "Fax queued", "")));
        CFaxUpload upload("127.0.0.1", peer.Port());
        std::string desc;
        ASSERT_EQ(upload.UploadFax(kUser, kFaxNumber, path, desc), CFaxUpload::FAX_OK);
        EXPECT_EQ(desc, "Fax queued");
        EXPECT_EQ(upload.LastChunkSizes(), c.chunks);

        // Take the enciphered message from the body, check what it says, then
        // rebuild the whole body from it and compare byte for byte.
        const std::string body = peer.Body();
        const std::string head = "--MSG_BOUNDARY\r\nContent-Disposition: form-data; name=\"msg\"\r\n\r\n";
        ASSERT_EQ(body.compare(0, head.size(), head), 0);
        const std::string message = body.substr(head.size(), body.find("\r\n", head.size()) - head.size());
        std::string text;
        ASSERT_TRUE(CLabWebServer::Decipher(message, text));
        const auto p = CLabWebServer::ParseLine(text);
        EXPECT_EQ(text.rfind("action=_sendfax&transId=", 0), 0u);
        EXPECT_EQ(p.at("transId"), p.at("timestamp"));
        EXPECT_EQ(p.at("callerId"), kUser);
        EXPECT_EQ(p.at("destinationNumber"), kFaxNumber);
        EXPECT_EQ(text.back(), '&');

        const std::string fileName = "report " + std::to_string(c.size) + ".pdf";
        const std::string expected =
            "--MSG_BOUNDARY\r\nContent-Disposition: form-data; name=\"msg\"\r\n\r\n" + message +
            "\r\n--MSG_BOUNDARY\r\nContent-Disposition: form-data; name=\"faxData\"; filename=\"" + fileName +
            "\"\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: binary\r\n\r\n" + content +
            "\r\n--MSG_BOUNDARY--\r\n";
        EXPECT_TRUE(body == expected) << "body differs (" << body.size() << " vs " << expected.size() << " bytes)";
        EXPECT_EQ(upload.LastAnnouncedLength(), static_cast<int64_t>(expected.size()));
        EXPECT_EQ(peer.Header("Content-Length"), std::to_string(expected.size()));
        EXPECT_EQ(peer.Header("Content-Type"), "multipart/form-data; boundary=MSG_BOUNDARY");
        EXPECT_EQ(peer.Head().rfind("POST /api/Trek/orbis/QuarvoVellVoipService HTTP/1.1\r\n", 0), 0u);
        EXPECT_EQ(peer.Head().find("Transfer-Encoding"), std::string::npos);
        EXPECT_EQ(peer.Head().find("Expect:"), std::string::npos);
    }
}

class FaxServiceTest : public LabWebTest {
protected:
    void SetUp() override {
        LabWebTest::SetUp();
        WriteFile(m_dir.file("page.pdf"), "%PDF-1.4 lab page\n%%EOF\n");
    }
    TempDir m_dir;
};

TEST_F(FaxServiceTest, ServiceAnswersMapToResultCodes) {
    m_lab.SetDataDir(m_dir.path().string());
    const struct {
        const char* name;
        std::function<void(CLabWebServer&)> arrange;
        int result;
        const char* desc;
    } cases[] = {
        {"accepted", [](CLabWebServer& l) { l.SetFaxReply("1", "Fax queued"); }, CFaxUpload::FAX_OK, "Fax queued"},
        {"code 0", [](CLabWebServer& l) { l.SetFaxReply("0", "Nothing done"); }, CFaxUpload::FAX_REFUSED,
         "Nothing done"},
        {"code -999", [](CLabWebServer& l) { l.SetFaxReply("-999", "No credit"); }, CFaxUpload::FAX_REFUSED_999,
         "No credit"},
        {"code -99", [](CLabWebServer& l) { l.SetFaxReply("-99", "Bad number"); }, CFaxUpload::FAX_REFUSED_99,
         "Bad number"},
        {"code -5", [](CLabWebServer& l) { l.SetFaxReply("-5", "Other"); }, CFaxUpload::FAX_REFUSED, "Other"},
        {"empty reply", [](CLabWebServer& l) { l.SetFaxReplyEmpty(true); }, CFaxUpload::FAX_REPLY_EMPTY, ""},
        {"broken reply", [](CLabWebServer& l) { l.SetMode(CLabWebServer::Mode::InvalidXml, 1); },
         CFaxUpload::FAX_REPLY_INVALID, ""},
        {"not found page", [](CLabWebServer& l) { l.SetMode(CLabWebServer::Mode::NotFound, 1); },
         CFaxUpload::FAX_REPLY_INVALID, ""},
    };
    CFaxUpload upload("127.0.0.1", m_port);
    size_t stored = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_lab.SetFaxReply("1", "Fax queued");
        m_lab.SetFaxReplyEmpty(false);
        c.arrange(m_lab);
        std::string desc;
        EXPECT_EQ(upload.UploadFax(kUser, kFaxNumber, m_dir.file("page.pdf"), desc), c.result);
        EXPECT_EQ(desc, c.desc);
        const auto faxes = m_lab.Faxes();
        if (faxes.size() > stored) {
            stored = faxes.size();
            EXPECT_EQ(faxes.back().fileName, "page.pdf");
            EXPECT_EQ(faxes.back().contentType, "application/pdf");
            EXPECT_EQ(faxes.back().destination, kFaxNumber);
            EXPECT_EQ(ReadFile(faxes.back().storedPath), ReadFile(m_dir.file("page.pdf")));
        }
    }
    EXPECT_GE(stored, 6u);
}

TEST_F(FaxServiceTest, NetworkFailuresEndTheUploadWithAFailureCode) {
    // A larger document, so that the server can vanish mid-upload.
    const std::string big = m_dir.file("big.pdf");
    WriteFile(big, RandomBytes(4 * 1024 * 1024, 3));
    RawHttpPeer vanishing("", false);  // accepts and closes without reading
    const struct {
        const char* name;
        int port;
        std::function<void(CLabWebServer&)> arrange;
        std::string file;
        const char* desc;
    } cases[] = {
        {"nobody listening", UnusedPort(), [](CLabWebServer&) {}, m_dir.file("page.pdf"),
         "The attempt to connect to the server failed."},
        {"server vanishes", vanishing.Port(), [](CLabWebServer&) {}, big, nullptr},
        {"no answer", m_port, [](CLabWebServer& l) { l.SetMode(CLabWebServer::Mode::Slow, 1, 4000); },
         m_dir.file("page.pdf"), "The request has timed out."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(m_lab);
        CFaxUpload upload("127.0.0.1", c.port);
        upload.SetTimeouts(2000, 1000);
        std::string desc;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(upload.UploadFax(kUser, kFaxNumber, c.file, desc), CFaxUpload::FAX_NETWORK_FAILURE);
        EXPECT_LT(MsSince(start), 3500);
        if (c.desc) EXPECT_EQ(desc, c.desc);
        else EXPECT_FALSE(desc.empty());
        m_lab.SetMode(CLabWebServer::Mode::Normal);
    }
}

} // namespace
