// Deployment settings as an EnvironmentFile writes them.
#include "os/deploy_settings.h"
#include "sandbox.h"

TEST_F(SandboxTest, DeploySettingsReadKeysQuotesAndFallbacks) {
    sandbox.write(kDeploySettingsPath, "# comment\n\nORV_A=plain\n ORV_B = \"two words\" \n"
                                       "ORV_C='/etc/ntpsec/ntp.conf'\nORV_EMPTY=\nnot a setting\n");
    deploy_settings_reload();
    EXPECT_EQ(deploy_setting("ORV_A"), "plain");
    EXPECT_EQ(deploy_setting("ORV_B"), "two words");
    EXPECT_EQ(deploy_setting("ORV_C"), "/etc/ntpsec/ntp.conf");
    EXPECT_EQ(deploy_setting("ORV_EMPTY", "fallback"), "fallback");
    EXPECT_EQ(deploy_setting("ORV_MISSING", "fallback"), "fallback");
    sandbox.remove(kDeploySettingsPath);
    deploy_settings_reload();
    EXPECT_EQ(deploy_setting("ORV_A", "unit"), "unit");
}
