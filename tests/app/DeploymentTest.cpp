#include "app/Deployment.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

TEST(DeploymentTest, FileOverridesDefaultsAndSkipsBadLines) {
    TempDir dir;
    const std::string file = dir.file("deployment.conf");
    WriteFile(file,
              "# lab\n"
              "default_sip_server = 127.0.0.1\n"
              "accepted_sip_servers = 127.0.0.1, Localhost ,127.0.0.2\n"
              "web_host=127.0.0.1   # trailing comment\n"
              "web_port = 8080\n"
              "tunnel_port = 99999\n"
              "no equals sign here\n"
              "colour = blue\n");
    DeploymentData d = CDeployment::BuiltIn();
    const DeploymentData builtIn = d;
    EXPECT_EQ(1, CDeployment::ApplyFile(file, d));
    EXPECT_EQ("127.0.0.1", d.defaultSipServer);
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "Localhost", "127.0.0.2"}), d.acceptedSipServers);
    EXPECT_EQ("127.0.0.1", d.webHost);
    EXPECT_EQ(8080, d.webPort);
    EXPECT_EQ(443, d.tunnelPort); // out of range: kept
    EXPECT_EQ(builtIn.tunnelServer, d.tunnelServer);
    EXPECT_EQ(5060, d.sipPort);
    EXPECT_EQ(0, CDeployment::ApplyFile(dir.file("missing.conf"), d));
}

TEST(DeploymentTest, ProcessWideDataAndAcceptedHosts) {
    TempDir dir;
    const std::string appDir = dir.path().string() + "/";
    unsetenv("QF_DEPLOYMENT_FILE");
    EXPECT_EQ(0, CDeployment::Load(appDir));
    EXPECT_EQ(3u, CDeployment::Current().acceptedSipServers.size());
    EXPECT_TRUE(CDeployment::IsAcceptedSipServer(CDeployment::BuiltIn().defaultSipServer));

    WriteFile(appDir + "deployment.conf", "accepted_sip_servers = a.lab, b.lab, c.lab\n");
    EXPECT_EQ(1, CDeployment::Load(appDir));
    EXPECT_TRUE(CDeployment::IsAcceptedSipServer("B.LAB"));
    EXPECT_FALSE(CDeployment::IsAcceptedSipServer("d.lab"));

    // The environment names the file ahead of the program folder.
    WriteFile(dir.file("env.conf"), "accepted_sip_servers = e.lab\n");
    setenv("QF_DEPLOYMENT_FILE", dir.file("env.conf").c_str(), 1);
    EXPECT_EQ(1, CDeployment::Load(appDir));
    EXPECT_TRUE(CDeployment::IsAcceptedSipServer("e.lab"));
    unsetenv("QF_DEPLOYMENT_FILE");
    CDeployment::Set(CDeployment::BuiltIn());
}

} // namespace
