#pragma once
// The service's deployment data: the hosts and addresses that differ
// between the real service and a test lab. Built-in defaults name the real
// service; a deployment file overrides any of them, one "name = value" per
// line ('#' starts a comment):
//
//   default_sip_server = 127.0.0.1
//   accepted_sip_servers = 127.0.0.1, localhost, 127.0.0.2
//   web_port = 8080
//
// The file is $QF_DEPLOYMENT_FILE, else "deployment.conf" beside the
// program, else /etc/quarvofon/deployment.conf; without one the defaults
// stand.
#include <string>
#include <vector>

struct DeploymentData {
    std::string defaultSipServer;
    std::vector<std::string> acceptedSipServers; // the three the main window accepts
    int sipPort = 5060;
    std::string tunnelServer;
    int tunnelPort = 443;
    std::string webHost;
    int webPort = 80;
    std::string pingSite; // public site of the connectivity check
    int pingPort = 80;
    std::string homePageUrl;
    std::string webShopUrl;
    std::string pinResetUrl;
    std::string forgotPinUrl;
};

class CDeployment {
public:
    static DeploymentData BuiltIn();

    // Applies the file at path over data. 1 when read (lines it cannot use
    // are logged and skipped), 0 when there is no such file, -1 when it
    // exists but cannot be read.
    static int ApplyFile(const std::string& path, DeploymentData& data);

    // The file to use for a program in appDir ("" when none exists).
    static std::string FindFile(const std::string& appDir);

    // Process-wide data: built-in defaults until Load or Set.
    static DeploymentData Current();
    static void Set(const DeploymentData& data);
    // Defaults, then the file FindFile(appDir) names; returns ApplyFile's
    // result (0 without a file).
    static int Load(const std::string& appDir);

    // True when host is one of the accepted SIP servers (case-insensitive).
    static bool IsAcceptedSipServer(const std::string& host);
};
