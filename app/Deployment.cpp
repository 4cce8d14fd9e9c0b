#include "app/Deployment.h"

#include "app/Trace.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>

namespace {

std::mutex g_lock;
DeploymentData g_current = CDeployment::BuiltIn();

std::string Trim(const std::string& s) {
    const char* ws = " \t\r\n";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool ParsePort(const std::string& text, int& out) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    int v = std::atoi(text.c_str());
    if (v < 1 || v > 65535) return false;
    out = v;
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

DeploymentData CDeployment::BuiltIn() {
    DeploymentData d;
    d.defaultSipServer = "sip.quarvo.net";
    d.acceptedSipServers = {"sip.quarvo.net", "sip2.quarvo.net", "sip3.quarvo.net"};
    d.tunnelServer = "tunnel.quarvo.net";
    d.webHost = "www.quarvo.net";
    d.pingSite = "www.example.com";
    d.homePageUrl = "http://www.quarvo.net/";
    d.webShopUrl = "http://www.quarvo.net/shop";
    d.pinResetUrl = "http://www.quarvo.net/service/Trek/quarvo/PinResetBO";
    d.forgotPinUrl = "http://www.quarvo.net/service/Trek/quarvo/ForgotPinBO";
    return d;
}

int CDeployment::ApplyFile(const std::string& path, DeploymentData& data) {
    QF_TRACE("CDeployment::ApplyFile");
    if (!FileExists(path)) {
        QF_LEAVE();
        return 0;
    }
    std::ifstream in(path);
    if (!in) {
        QF_LOG_ERROR("Unable to read deployment file %s", path.c_str());
        return -1;
    }
    std::string line;
    int lineNo = 0;
    while (lineNo < 10000 && std::getline(in, line)) {
        ++lineNo;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = Trim(line);
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            QF_LOG_ERROR("%s:%d: expected name = value", path.c_str(), lineNo);
            continue;
        }
        const std::string name = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        bool ok = true;
        if (name == "default_sip_server") data.defaultSipServer = value;
        else if (name == "accepted_sip_servers") {
            std::vector<std::string> hosts;
            size_t pos = 0;
            while (pos <= value.size()) {
                size_t comma = value.find(',', pos);
                std::string host = Trim(value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
                if (!host.empty()) hosts.push_back(host);
                if (comma == std::string::npos) break;
                pos = comma + 1;
            }
            ok = !hosts.empty();
            if (ok) data.acceptedSipServers = hosts;
        } else if (name == "sip_port") ok = ParsePort(value, data.sipPort);
        else if (name == "tunnel_server") data.tunnelServer = value;
        else if (name == "tunnel_port") ok = ParsePort(value, data.tunnelPort);
        else if (name == "web_host") data.webHost = value;
        else if (name == "web_port") ok = ParsePort(value, data.webPort);
        else if (name == "ping_site") data.pingSite = value;
        else if (name == "ping_port") ok = ParsePort(value, data.pingPort);
        else if (name == "home_page_url") data.homePageUrl = value;
        else if (name == "web_shop_url") data.webShopUrl = value;
        else if (name == "pin_reset_url") data.pinResetUrl = value;
        else if (name == "forgot_pin_url") data.forgotPinUrl = value;
        else {
            QF_LOG_ERROR("%s:%d: unknown setting %s", path.c_str(), lineNo, name.c_str());
            continue;
        }
        if (!ok) QF_LOG_ERROR("%s:%d: invalid value for %s: %s", path.c_str(), lineNo, name.c_str(), value.c_str());
    }
    QF_LEAVE();
    return 1;
}

std::string CDeployment::FindFile(const std::string& appDir) {
    const char* env = std::getenv("QF_DEPLOYMENT_FILE");
    if (env != nullptr && env[0] != '\0') return FileExists(env) ? std::string(env) : std::string();
    if (!appDir.empty() && FileExists(appDir + "deployment.conf")) return appDir + "deployment.conf";
    if (FileExists("/etc/quarvofon/deployment.conf")) return "/etc/quarvofon/deployment.conf";
    return "";
}

DeploymentData CDeployment::Current() {
    std::lock_guard<std::mutex> lk(g_lock);
    return g_current;
}

void CDeployment::Set(const DeploymentData& data) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_current = data;
}

int CDeployment::Load(const std::string& appDir) {
    DeploymentData d = BuiltIn();
    const std::string file = FindFile(appDir);
    int r = file.empty() ? 0 : ApplyFile(file, d);
    Set(d);
    return r;
}

bool CDeployment::IsAcceptedSipServer(const std::string& host) {
    const DeploymentData d = Current();
    for (const auto& h : d.acceptedSipServers)
        if (strcasecmp(h.c_str(), host.c_str()) == 0) return true;
    return false;
}
