// Factory reset: exactly the setup, filter and memory files go from both
// settings directories; the network reset removes only the network file.
#include "sandbox.h"
#include "settings/factory_reset.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kRemoved = {"Setup_05_01.ini", "Setup_06_02.ini", "Filter_01_02.ini",
                                           "board.mem", "x.mem"};
const std::vector<std::string> kKept = {
    "ORV_System.ini",   "ORV_Network.ini", "ORV_Current.ini", "ORV_Function.ini",
    "Status_05_01.txt", "dhcpcd.conf",     "ntp.conf",        "memo.txt",
    "x.mem.bak",        "Setup",           "MySetup_1"};

class FactoryResetTest : public SandboxTest {
  protected:
    void SetUp() override {
        for (const char* dir : {"/var/kelvatro/conf/", "/usr/kelvatro/conf/"})
            for (const auto& list : {kRemoved, kKept})
                for (const std::string& name : list)
                    sandbox.write(dir + name, name);
    }
};

TEST_F(FactoryResetTest, RemovesThePatternsInBothDirectories) {
    EXPECT_EQ(FactoryReset(), 0);
    const std::vector<std::string> expected = {"rm -rf /usr/kelvatro/conf//Setup_*",
                                               "rm -rf /var/kelvatro/conf//Setup_*",
                                               "rm -rf /usr/kelvatro/conf//Filter_*",
                                               "rm -rf /var/kelvatro/conf//Filter_*",
                                               "rm -rf /usr/kelvatro/conf//*.mem",
                                               "rm -rf /var/kelvatro/conf//*.mem",
                                               "sync"};
    EXPECT_EQ(sandbox.journal(), expected);
    for (const char* dir : {"/var/kelvatro/conf/", "/usr/kelvatro/conf/"}) {
        for (const std::string& name : kRemoved)
            EXPECT_FALSE(sandbox.exists(dir + name)) << dir << name;
        for (const std::string& name : kKept)
            EXPECT_EQ(sandbox.read(dir + name), name) << dir << name;
    }
    // A second reset finds nothing and does the same.
    EXPECT_EQ(FactoryReset(), 0);
    EXPECT_EQ(sandbox.journal().size(), 2 * expected.size());
    EXPECT_TRUE(sandbox.exists("/var/kelvatro/conf/ORV_Network.ini"));
}

TEST_F(FactoryResetTest, NetworkResetRemovesOnlyBothNetworkFiles) {
    EXPECT_EQ(ResetNetworkFile(), 0);
    const std::vector<std::string> expected = {"rm -rf /usr/kelvatro/conf/ORV_Network.ini",
                                               "rm -rf /var/kelvatro/conf/ORV_Network.ini", "sync"};
    EXPECT_EQ(sandbox.journal(), expected);
    for (const char* dir : {"/var/kelvatro/conf/", "/usr/kelvatro/conf/"}) {
        EXPECT_FALSE(sandbox.exists(std::string(dir) + "ORV_Network.ini"));
        EXPECT_TRUE(sandbox.exists(std::string(dir) + "ORV_System.ini"));
        EXPECT_TRUE(sandbox.exists(std::string(dir) + "Setup_05_01.ini"));
    }
}

} // namespace
