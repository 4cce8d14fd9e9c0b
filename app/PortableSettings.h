#pragma once
// The process-wide settings record of portable mode: what "Settings.ini"
// holds, field for field, in file order. VellFileHelper fills it at
// start-up and rewrites the file from it.
//
// Callers that change fields while another thread may save (the address
// book synchronisation saves from its worker) hold PortableSettingsLock()
// for the change; SaveSettings takes it while it reads the record.
#include <mutex>
#include <string>

struct PortableSettings {
    std::string AppPath;
    std::string DialedFromWeb;
    int IsFirstTime = 1;
    std::string LastCheckTS;
    std::string ProxyIp;
    std::string ProxyPort = "5060";
    std::string RingTonePath;
    std::string AudioSettings = "0,8,97,100,101,102,103,";
    int AutoLogin = 0;
    std::string UserName;
    std::string UserPassword; // the PIN, in clear inside the enciphered file
    int RememberMe = 0;
    std::string HttpProxyIp;
    int HttpProxyPort = 0;
    std::string HttpTunnelIp;
    int HttpUseProxy = 0;
    int HttpUseTunnel = 0;
    int LogLevel = 1; // stored only
    int LogSize = 1;  // stored only
    std::string SMSRequestPage;
    std::string SMSServerIp;
    std::string SMSServerPort = "80";
};

extern PortableSettings g_PortableSettings;

std::recursive_mutex& PortableSettingsLock();
