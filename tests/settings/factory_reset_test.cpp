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
    "ORV_System.ini", "ORV_Network.ini", "ORV_Current.ini", "Status_05_01.txt",
    "memo.txt",       "x.mem.bak",       "Setup",           "MySetup_1"};

class FactoryResetTest : public SandboxTest {
  protected:
    void SetUp() override {
        for (const std::string dir : {"/var/kelvatro/conf/", "/usr/kelvatro/conf/"})
            for (const auto& list : {kRemoved, kKept})
                for (const std::string& name : list)
                    sandbox.write(dir + name, name);
    }
};

TEST_F(FactoryResetTest, RemovesThePatternsInBothDirectories) {
    EXPECT_EQ(FactoryReset(), 0);
    EXPECT_EQ(sandbox.journal(),
              (std::vector<std::string>{
                  "rm -rf /usr/kelvatro/conf//Setup_*", "rm -rf /var/kelvatro/conf//Setup_*",
                  "rm -rf /usr/kelvatro/conf//Filter_*", "rm -rf /var/kelvatro/conf//Filter_*",
                  "rm -rf /usr/kelvatro/conf//*.mem", "rm -rf /var/kelvatro/conf//*.mem", "sync"}));
    for (const std::string dir : {"/var/kelvatro/conf/", "/usr/kelvatro/conf/"}) {
        for (const std::string& name : kRemoved)
            EXPECT_FALSE(sandbox.exists(dir + name)) << dir << name;
        for (const std::string& name : kKept)
            EXPECT_EQ(sandbox.read(dir + name), name) << dir << name;
    }
}

TEST_F(FactoryResetTest, NetworkResetRemovesOnlyBothNetworkFiles) {
    EXPECT_EQ(ResetNetworkFile(), 0);
    EXPECT_EQ(sandbox.journal(),
              (std::vector<std::string>{"rm -rf /usr/kelvatro/conf/ORV_Network.ini",
                                        "rm -rf /var/kelvatro/conf/ORV_Network.ini", "sync"}));
    for (const std::string dir : {"/var/kelvatro/conf/", "/usr/kelvatro/conf/"}) {
        EXPECT_FALSE(sandbox.exists(dir + "ORV_Network.ini"));
        EXPECT_TRUE(sandbox.exists(dir + "ORV_System.ini"));
    }
}

} // namespace
