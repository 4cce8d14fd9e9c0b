#include "lab/web/LabWebServer.h"

#include "app/EncryptDecrypt.h"
#include "app/HexText.h"

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
    const size_t a = text.find(open);
    if (a == std::string::npos) return "";
    const size_t from = a + open.size();
    const size_t b = text.find(close, from);
    if (b == std::string::npos) return "";
    return text.substr(from, b - from);
}

std::string HtmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string EntryXml(const CLabWebServer::Contact& c) {
    std::string xml = "<entry>";
    for (int i = 0; i < CLabWebServer::kFieldCount; ++i) {
        const std::string tag = CLabWebServer::kFieldTags[i];
        xml += "<" + tag + ">" + c.fields[i] + "</" + tag + ">";
    }
    return xml + "</entry>";
}

std::array<std::string, CLabWebServer::kFieldCount> FieldsFromXml(const std::string& entry) {
    std::array<std::string, CLabWebServer::kFieldCount> fields;
    for (int i = 0; i < CLabWebServer::kFieldCount; ++i) {
        const std::string tag = CLabWebServer::kFieldTags[i];
        fields[i] = Between(entry, "<" + tag + ">", "</" + tag + ">");
    }
    return fields;
}

int64_t ToInt64(const std::string& s) {
    try {
        return std::stoll(s);
    } catch (...) {
        return 0;
    }
}

} // namespace

const std::array<const char*, CLabWebServer::kFieldCount> CLabWebServer::kFieldTags = {
    "sno",      "name",      "email",      "voip",        "mobile",   "home",  "business",
    "title",    "firstname", "middlename", "lastname",    "birthdate", "companyname",
    "altemail", "fax",       "pager",      "icq",         "website",  "comments"};

CLabWebServer::CLabWebServer() : m_server(std::make_unique<httplib::Server>()) {}

CLabWebServer::~CLabWebServer() { Stop(); }

int64_t CLabWebServer::Now() {
    const int64_t wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    m_clock = std::max(wall, m_clock + 1);
    return m_clock;
}

std::string CLabWebServer::Envelope(const std::string& transId, const std::string& code, const std::string& desc,
                                    const std::string& data) {
    return "<result><transId>" + transId + "</transId><status>" + (code.rfind('-', 0) == 0 ? "FAIL" : "OK") +
           "</status><code>" + code + "</code><desc>" + desc + "</desc><data>" + data + "</data></result>";
}

std::map<std::string, std::string> CLabWebServer::ParseLine(const std::string& line) {
    std::map<std::string, std::string> out;
    std::string head = line;
    const size_t data = line.find("&data=");
    if (data != std::string::npos) {
        size_t end = line.rfind("&timeStamp=");
        if (end == std::string::npos || end < data) end = line.size();
        out["data"] = line.substr(data + 6, end - data - 6);
        head = line.substr(0, data) + line.substr(end);
    }
    size_t pos = 0;
    while (pos <= head.size()) {
        size_t amp = head.find('&', pos);
        if (amp == std::string::npos) amp = head.size();
        const std::string pair = head.substr(pos, amp - pos);
        const size_t eq = pair.find('=');
        if (!pair.empty() && eq != std::string::npos) out[pair.substr(0, eq)] = pair.substr(eq + 1);
        pos = amp + 1;
    }
    return out;
}

bool CLabWebServer::Decipher(const std::string& hex, std::string& line) {
    if (!CHexText::IsHexString(hex) || hex.size() % 16 != 0) return false;
    const std::vector<unsigned char> bytes = CHexText::HexStringToBytes(hex);
    CEncryptDecrypt cipher;
    return cipher.Decrypt(bytes, CEncryptDecrypt::kServiceKey, line) == 0;
}

int CLabWebServer::Start(const std::string& host, int port) {
    httplib::Server& s = *m_server;
    s.set_keep_alive_timeout(1);
    s.set_read_timeout(5, 0);
    s.set_payload_max_length(64 * 1024 * 1024);
    s.Post(kApiPath, [this](const httplib::Request& req, httplib::Response& res) {
        if (req.is_multipart_form_data()) OnFax(req, res);
        else OnApi(req, res);
    });
    s.Get(kAutoLoginPath, [this](const httplib::Request& req, httplib::Response& res) { OnAutoLogin(req, res); });
    s.Get("/lab/control", [this](const httplib::Request& req, httplib::Response& res) { OnControl(req, res); });
    s.Get("/lab/last", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_content(LastRequestLine(req.get_param_value("action")), "text/plain");
    });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html><head><title>quarvo</title></head><body><h1>quarvo lab web service</h1>"
                        "<p><a href=\"/help/index.html\">Help</a></p></body></html>",
                        "text/html");
    });
    s.Get(R"(/(help|shop|pin|download)(/.*)?)", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("<html><head><title>quarvo</title></head><body><h1>quarvo</h1><p>" +
                            HtmlEscape(req.path) + "</p></body></html>",
                        "text/html");
    });

    int bound;
    if (port == 0) {
        bound = s.bind_to_any_port(host.c_str());
    } else {
        bound = s.bind_to_port(host.c_str(), port) ? port : -1;
    }
    if (bound <= 0) return -1;
    m_port = bound;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() only reaches a server that is already accepting: wait for it,
    // or a quick Start/Stop would leave the thread in accept() for good.
    for (int i = 0; i < 500 && !m_server->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return bound;
}

void CLabWebServer::Stop() {
    if (!m_thread.joinable()) return;
    m_stopping.store(true);  // lets a slow answer finish at once
    m_server->stop();
    m_thread.join();
    m_stopping.store(false);
}

void CLabWebServer::SetDataDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dataDir = dir;
}

void CLabWebServer::SetBalance(const std::string& user, const std::string& balance) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts[user].balance = balance;
}

void CLabWebServer::SetSmsCount(const std::string& user, int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts[user].smsCount = count;
}

void CLabWebServer::SetVersionOffer(const std::string& user, const std::string& version, const std::string& link) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts[user].versionNumber = version;
    m_accounts[user].downloadLink = link;
}

void CLabWebServer::SetMode(Mode mode, int count, int delayMs, size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mode = mode;
    m_modeCount = count;
    m_delayMs = delayMs;
    m_size = size;
}

void CLabWebServer::SetFaxReply(const std::string& code, const std::string& desc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faxCode = code;
    m_faxDesc = desc;
}

void CLabWebServer::SetFaxReplyEmpty(bool empty) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faxEmpty = empty;
}

int CLabWebServer::PutContact(const std::string& user, const std::array<std::string, kFieldCount>& fields) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Account& a = m_accounts[user];
    const int64_t now = Now();
    if (!fields[0].empty()) {
        for (Contact& c : a.book)
            if (c.fields[0] == fields[0]) {
                c.fields = fields;
                c.modified = now;
                return static_cast<int>(ToInt64(fields[0]));
            }
    }
    Contact c;
    c.fields = fields;
    const int serial = a.nextSerial++;
    c.fields[0] = std::to_string(serial);
    c.modified = now;
    a.book.push_back(c);
    return serial;
}

void CLabWebServer::RemoveContact(const std::string& user, int serial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Account& a = m_accounts[user];
    const std::string sno = std::to_string(serial);
    for (auto it = a.book.begin(); it != a.book.end(); ++it)
        if (it->fields[0] == sno) {
            a.book.erase(it);
            a.lastRemoval = Now();
            return;
        }
}

CLabWebServer::Account CLabWebServer::GetAccount(const std::string& user) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accounts[user];
}

std::vector<std::string> CLabWebServer::RequestLines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::string CLabWebServer::LastRequestLine(const std::string& action) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_lines.rbegin(); it != m_lines.rend(); ++it)
        if (action.empty() || it->rfind("action=" + action + "&", 0) == 0 ||
            it->find("action=" + action + "&") != std::string::npos)
            return *it;
    return "";
}

std::vector<CLabWebServer::Fax> CLabWebServer::Faxes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faxes;
}

size_t CLabWebServer::RequestCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool CLabWebServer::TakeFault(Mode& mode, int& delayMs, size_t& size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_requests;
    mode = Mode::Normal;
    if (m_mode == Mode::Normal || m_modeCount == 0) return false;
    mode = m_mode;
    delayMs = m_delayMs;
    size = m_size;
    if (m_modeCount > 0 && --m_modeCount == 0) m_mode = Mode::Normal;
    return true;
}

void CLabWebServer::Send(httplib::Response& res, const std::string& xml, Mode mode, int delayMs, size_t size) {
    switch (mode) {
    case Mode::Normal: res.set_content(xml, "text/xml"); return;
    case Mode::NotFound:
        res.status = 404;
        res.set_content("<html><body>Not found</body></html>", "text/html");
        return;
    case Mode::Slow: {
        // Sleeps in small steps so that Stop() ends it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
        while (std::chrono::steady_clock::now() < until && !m_stopping.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        res.set_content(xml, "text/xml");
        return;
    }
    case Mode::InvalidXml: res.set_content(xml.substr(0, xml.size() / 2), "text/xml"); return;
    case Mode::Empty: res.set_content("", "text/xml"); return;
    case Mode::Drop: {
        auto body = std::make_shared<std::string>(xml);
        res.set_content_provider(body->size(), "text/xml",
                                 [body](size_t, size_t, httplib::DataSink& sink) {
                                     sink.write(body->data(), body->size() / 2);
                                     return false;  // cut the connection half-way
                                 });
        return;
    }
    case Mode::Chunked: {
        auto body = std::make_shared<std::string>(xml);
        const size_t piece = size ? size : 16;
        const int pause = delayMs > 0 ? delayMs : 20;
        res.set_chunked_content_provider("text/xml", [body, piece, pause](size_t offset, httplib::DataSink& sink) {
            if (offset >= body->size()) {
                sink.done();
                return true;
            }
            if (offset > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
            const size_t n = std::min(piece, body->size() - offset);
            return sink.write(body->data() + offset, n);
        });
        return;
    }
    case Mode::Garbage: {
        std::mt19937 rng(7);
        std::string junk(size ? size : 4096, '\0');
        for (char& c : junk) c = static_cast<char>(rng() & 0xFF);
        res.set_content(junk, "application/octet-stream");
        return;
    }
    case Mode::Big: {
        const size_t pad = size ? size : 10 * 1024 * 1024;
        const size_t at = xml.find("</data>");
        std::string big = xml;
        if (at != std::string::npos) big.insert(at, std::string(pad, 'x'));
        res.set_content(big, "text/xml");
        return;
    }
    }
}

void CLabWebServer::OnApi(const httplib::Request& req, httplib::Response& res) {
    Mode mode;
    int delayMs = 0;
    size_t size = 0;
    TakeFault(mode, delayMs, size);
    std::string line;
    std::string xml;
    if (req.body.rfind("msg=", 0) != 0 || !Decipher(req.body.substr(4), line)) {
        xml = Envelope("", "-3", "Invalid message", "");
    } else {
        xml = Dispatch(line);
    }
    Send(res, xml, mode, delayMs, size);
}

std::string CLabWebServer::Dispatch(const std::string& line) {
    std::map<std::string, std::string> p = ParseLine(line);
    const std::string& action = p["action"];
    const std::string& transId = p["transId"];
    const std::string& user = p["userId"];
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lines.size() >= 1000) m_lines.erase(m_lines.begin());
    m_lines.push_back(line);
    if (user.empty()) return Envelope(transId, "-2", "Missing user", "");
    Account& a = m_accounts[user];

    if (action == "_getbal") return Envelope(transId, "0", "Balance", "<balance>" + a.balance + "</balance>");
    if (action == "_qrysms")
        return Envelope(transId, "0", "Inbox", "<balance>" + std::to_string(a.smsCount) + "</balance>");
    if (action == "_getver")
        return Envelope(transId, "0", "Version",
                        "<versionnumber>" + a.versionNumber + "</versionnumber><downloadlink>" + a.downloadLink +
                            "</downloadlink>");
    if (action == "_initaddbk" || action == "_qrylist") {
        const bool whole = action == "_initaddbk" || ToInt64(p["lastcheckts"]) < a.lastRemoval;
        const int64_t since = whole ? -1 : ToInt64(p["lastcheckts"]);
        std::string entries;
        for (const Contact& c : a.book)
            if (c.modified > since) entries += EntryXml(c);
        return Envelope(transId, whole ? "1001" : "0", "Address book",
                        "<timestamp>" + std::to_string(Now()) + "</timestamp><addressbook>" + entries +
                            "</addressbook>");
    }
    if (action == "_addent") {
        auto fields = FieldsFromXml(p["data"]);
        for (const Contact& c : a.book)
            if (!fields[1].empty() && c.fields[1] == fields[1])
                return Envelope(transId, "-1005", "User name already exist", "");
        Contact c;
        c.fields = fields;
        c.fields[0] = std::to_string(a.nextSerial++);
        c.modified = Now();
        a.book.push_back(c);
        return Envelope(transId, "0", "Entry added", "<sno>" + c.fields[0] + "</sno>");
    }
    if (action == "_updent") {
        auto fields = FieldsFromXml(p["data"]);
        for (Contact& c : a.book)
            if (c.fields[0] == fields[0] && !fields[0].empty()) {
                c.fields = fields;
                c.modified = Now();
                return Envelope(transId, "0", "Entry updated", "");
            }
        return Envelope(transId, "-1", "Entry not found", "");
    }
    if (action == "_delent") {
        for (auto it = a.book.begin(); it != a.book.end(); ++it)
            if (it->fields[0] == p["sno"]) {
                a.book.erase(it);
                a.lastRemoval = Now();
                return Envelope(transId, "0", "Entry deleted", "");
            }
        return Envelope(transId, "-1", "Entry not found", "");
    }
    if (action == "_delAll") {
        a.book.clear();
        a.lastRemoval = Now();
        return Envelope(transId, "0", "All entries deleted", "");
    }
    return Envelope(transId, "-1", "Unknown action", "");
}

void CLabWebServer::OnFax(const httplib::Request& req, httplib::Response& res) {
    Mode mode;
    int delayMs = 0;
    size_t size = 0;
    TakeFault(mode, delayMs, size);
    std::string line;
    if (!req.has_file("msg") || !req.has_file("faxData") ||
        !Decipher(req.get_file_value("msg").content, line)) {
        Send(res, Envelope("", "-99", "Invalid fax request", ""), mode, delayMs, size);
        return;
    }
    std::map<std::string, std::string> p = ParseLine(line);
    const httplib::MultipartFormData file = req.get_file_value("faxData");
    Fax fax;
    fax.userId = p["userId"];
    fax.callerId = p["callerId"];
    fax.destination = p["destinationNumber"];
    fax.transId = p["transId"];
    fax.timestamp = p["timestamp"];
    fax.fileName = file.filename;
    fax.contentType = file.content_type;
    fax.content = file.content;
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lines.size() >= 1000) m_lines.erase(m_lines.begin());
        m_lines.push_back(line);
        if (!m_dataDir.empty()) {
            std::string base = std::filesystem::path(fax.fileName).filename().string();
            for (char& c : base)
                if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
            fax.storedPath = m_dataDir + "/fax-" + std::to_string(m_faxes.size() + 1) + "-" + base;
            std::ofstream out(fax.storedPath, std::ios::binary);
            out.write(fax.content.data(), static_cast<std::streamsize>(fax.content.size()));
        }
        if (fax.content.size() > 1024 * 1024) fax.content.resize(1024 * 1024);  // keep memory bounded
        m_faxes.push_back(fax);
        if (m_faxes.size() > 100) m_faxes.erase(m_faxes.begin());
        reply = m_faxEmpty ? std::string() : Envelope(fax.transId, m_faxCode, m_faxDesc, "");
    }
    if (mode == Mode::Normal && reply.empty()) {
        res.set_content("", "text/xml");
        return;
    }
    Send(res, reply, mode, delayMs, size);
}

void CLabWebServer::OnAutoLogin(const httplib::Request& req, httplib::Response& res) {
    std::string line;
    if (!Decipher(req.get_param_value("msg"), line)) {
        res.status = 400;
        res.set_content("<html><body>Invalid message</body></html>", "text/html");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
    }
    std::map<std::string, std::string> p = ParseLine(line);
    res.set_content("<html><head><title>quarvo</title></head><body><h1>quarvo</h1><p>Signed in as " +
                        HtmlEscape(p["userId"]) + "</p><p>Page: " + HtmlEscape(p["redirTo"]) + "</p></body></html>",
                    "text/html");
}

void CLabWebServer::OnControl(const httplib::Request& req, httplib::Response& res) {
    const std::string user = req.get_param_value("user");
    if (req.has_param("balance")) SetBalance(user, req.get_param_value("balance"));
    if (req.has_param("sms")) SetSmsCount(user, static_cast<int>(ToInt64(req.get_param_value("sms"))));
    if (req.has_param("version"))
        SetVersionOffer(user, req.get_param_value("version"), req.get_param_value("link"));
    if (req.has_param("faxcode")) SetFaxReply(req.get_param_value("faxcode"), req.get_param_value("faxdesc"));
    if (req.has_param("faxempty")) SetFaxReplyEmpty(req.get_param_value("faxempty") == "1");
    if (req.has_param("mode")) {
        static const std::map<std::string, Mode> modes = {
            {"normal", Mode::Normal},   {"404", Mode::NotFound},      {"slow", Mode::Slow},
            {"invalidxml", Mode::InvalidXml}, {"drop", Mode::Drop}, {"chunked", Mode::Chunked},
            {"garbage", Mode::Garbage}, {"big", Mode::Big},           {"empty", Mode::Empty}};
        const auto it = modes.find(req.get_param_value("mode"));
        if (it == modes.end()) {
            res.status = 400;
            res.set_content("unknown mode\n", "text/plain");
            return;
        }
        const int count = req.has_param("count") ? static_cast<int>(ToInt64(req.get_param_value("count"))) : -1;
        SetMode(it->second, count, static_cast<int>(ToInt64(req.get_param_value("delay"))),
                static_cast<size_t>(ToInt64(req.get_param_value("size"))));
    }
    res.set_content("OK\n", "text/plain");
}
