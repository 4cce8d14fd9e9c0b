#pragma once
// The lab's stand-in for the quarvo web service: the action API (enciphered
// "msg" requests answered with the XML envelope), the fax upload, the
// auto-login pages and a few static pages, with per-user accounts held in
// memory. Tests and the demo drive it through a small control interface,
// either over HTTP (/lab/...) or, in-process, through the methods below.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}

class CLabWebServer {
public:
    static constexpr const char* kApiPath = "/api/Trek/orbis/QuarvoVellVoipService";
    static constexpr const char* kAutoLoginPath = "/sp/Trek/quarvo/AutoLogin";

    // The nineteen address book fields in the order the service sends them.
    static constexpr int kFieldCount = 19;
    static const std::array<const char*, kFieldCount> kFieldTags;  // "sno", "name", ...

    struct Contact {
        std::array<std::string, kFieldCount> fields;  // fields[0] is the serial number
        int64_t modified = 0;                          // server clock when last changed
    };

    struct Account {
        std::string balance = "10.00";
        int smsCount = 0;
        std::string versionNumber = "quarvoFON Version 2.6.6 RC";
        std::string downloadLink = "http://127.0.0.1/download/quarvoFON-setup.exe";
        std::vector<Contact> book;
        int nextSerial = 1;
        int64_t lastRemoval = 0;  // a query older than this gets the whole book (1001)
    };

    struct Fax {
        std::string userId, callerId, destination, transId, timestamp;
        std::string fileName, contentType;
        std::string content;
        std::string storedPath;
    };

    // Fault the next requests to the API path show (count < 0: until changed).
    enum class Mode { Normal, NotFound, Slow, InvalidXml, Drop, Chunked, Garbage, Big, Empty };

    CLabWebServer();
    ~CLabWebServer();
    CLabWebServer(const CLabWebServer&) = delete;
    CLabWebServer& operator=(const CLabWebServer&) = delete;

    // Binds and serves on its own thread. port 0 picks a free port. Returns
    // the port, or -1.
    int Start(const std::string& host, int port);
    void Stop();
    int Port() const { return m_port; }

    // Where uploaded faxes are written ("" keeps them in memory only).
    void SetDataDir(const std::string& dir);

    // Control (also reachable as GET /lab/control?...).
    void SetBalance(const std::string& user, const std::string& balance);
    void SetSmsCount(const std::string& user, int count);
    void SetVersionOffer(const std::string& user, const std::string& version, const std::string& link);
    void SetMode(Mode mode, int count = -1, int delayMs = 0, size_t size = 0);
    void SetFaxReply(const std::string& code, const std::string& desc);
    void SetFaxReplyEmpty(bool empty);
    // A contact added or changed on the service side (as if from the web
    // site); returns its serial number.
    int PutContact(const std::string& user, const std::array<std::string, kFieldCount>& fields);
    void RemoveContact(const std::string& user, int serial);

    Account GetAccount(const std::string& user);
    std::vector<std::string> RequestLines();    // deciphered lines, oldest first
    std::string LastRequestLine(const std::string& action);
    std::vector<Fax> Faxes();
    size_t RequestCount();

    // The server clock: milliseconds, strictly increasing.
    int64_t Now();

    static std::string Envelope(const std::string& transId, const std::string& code, const std::string& desc,
                                const std::string& data);
    // "key=value&..." into pairs; the XML of "data=" runs to the last
    // "&timeStamp=" so that it may hold any character.
    static std::map<std::string, std::string> ParseLine(const std::string& line);
    // Deciphers a hex message; false when it is not one.
    static bool Decipher(const std::string& hex, std::string& line);

private:
    void OnApi(const httplib::Request& req, httplib::Response& res);
    void OnFax(const httplib::Request& req, httplib::Response& res);
    void OnAutoLogin(const httplib::Request& req, httplib::Response& res);
    void OnControl(const httplib::Request& req, httplib::Response& res);
    std::string Dispatch(const std::string& line);
    bool TakeFault(Mode& mode, int& delayMs, size_t& size);
    void Send(httplib::Response& res, const std::string& xml, Mode mode, int delayMs, size_t size);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = -1;
    std::atomic<bool> m_stopping{false};

    std::mutex m_mutex;
    std::map<std::string, Account> m_accounts;
    std::vector<std::string> m_lines;
    std::vector<Fax> m_faxes;
    std::string m_dataDir;
    Mode m_mode = Mode::Normal;
    int m_modeCount = -1;
    int m_delayMs = 0;
    size_t m_size = 0;
    std::string m_faxCode = "1";
    std::string m_faxDesc = "Fax accepted";
    bool m_faxEmpty = false;
    int64_t m_clock = 0;
    size_t m_requests = 0;
};
