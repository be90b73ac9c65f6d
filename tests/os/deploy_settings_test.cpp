// Deployment settings as an EnvironmentFile writes them, each checked against
// its entry of the table, whose keys and defaults orv-main(8) lists.
#include "log/deploy_report.h"
#include "os/deploy_settings.h"
#include "sandbox.h"

#include <fstream>
#include <map>
#include <regex>

TEST_F(SandboxTest, DeploySettingsReadKeysQuotesAndFallbacks) {
    sandbox.write(kDeploySettingsPath, "# comment\n\nORV_GROUP=plain\n ORV_NTP_START = \"two "
                                       "words\" \nORV_NTP_CONF_COPY='/etc/ntpsec/ntp.conf'\n"
                                       "ORV_SPIDEV=\nnot a setting\n");
    deploy_settings_reload();
    EXPECT_EQ(deploy_setting("ORV_GROUP"), "plain");
    EXPECT_EQ(deploy_setting("ORV_NTP_START"), "two words");
    EXPECT_EQ(deploy_setting("ORV_NTP_CONF_COPY"), "/etc/ntpsec/ntp.conf");
    EXPECT_EQ(deploy_setting("ORV_SPIDEV"), "/dev/spidev0.1");
    EXPECT_EQ(deploy_setting("ORV_METRICS_DIR", "fallback"), "fallback");
    sandbox.remove(kDeploySettingsPath);
    deploy_settings_reload();
    EXPECT_EQ(deploy_setting("ORV_GROUP", "unit"), "unit");
}

// An unusable value keeps the default (none for the shared-memory unit under a
// sandbox root) and says why in the one format of all settings.
TEST_F(SandboxTest, DeploySettingsCheckedAgainstTheirKind) {
    const std::string holdover =
        "\" is no number of seconds from 60 to 9223372036854 (0: no limit)";
    const std::tuple<std::string, double, std::string> cases[] = {
        {"ORV_HOLDOVER_S=0", 0, ""},
        {"ORV_HOLDOVER_S=0060", 60, ""},
        {"ORV_HOLDOVER_S=9223372036854", 9223372036854, ""},
        {"ORV_HOLDOVER_S=00", 3600, "ORV_HOLDOVER_S \"00" + holdover},
        {"ORV_HOLDOVER_S=9223372036855", 3600, "ORV_HOLDOVER_S \"9223372036855" + holdover},
        {"ORV_HOLDOVER_S=+120", 3600, "ORV_HOLDOVER_S \"+120" + holdover},
        {"ORV_SHM_UNIT=255", 255, ""},
        {"ORV_SHM_UNIT=256", -1, "ORV_SHM_UNIT \"256\" is no unit from 0 to 255"},
        {"ORV_SHM_UNIT=", -1, "ORV_SHM_UNIT \"\" is no unit from 0 to 255"},
        {"ORV_TIME_DELIVERY=shm", 1, ""},
        {"ORV_TIME_DELIVERY=SHM", 0, "ORV_TIME_DELIVERY \"SHM\" is unknown"},
        {"ORV_SPI=", -1, ""},
        {"ORV_SPI=bcm2835", 1, ""},
        {"ORV_BER_MAX=1e-3", 1e-3, ""},
        {"ORV_BER_MAX=", 2e-4, ""},
        {"ORV_SNR_MIN_DB=inf", 15, "ORV_SNR_MIN_DB \"inf\" is no number"},
        {"ORV_SNR_MIN_DB=9 dB", 15, "ORV_SNR_MIN_DB \"9 dB\" is no number"},
    };
    for (const auto& [line, expected, problem] : cases) {
        sandbox.write(kDeploySettingsPath, line + "\n");
        deploy_settings_reload();
        const DeployValue value = deploy_value(line.substr(0, line.find('=')));
        const bool real = value.row->kind == DeployKind::real;
        EXPECT_EQ(real ? value.real : double(value.number), expected) << line;
        EXPECT_EQ(value.usable ? "" : deploy_problem(value), problem) << line;
    }
}

// orv-main(8)'s ENVIRONMENT names exactly the table's keys, in its order, each
// with its default.
TEST(DeploySettingsTable, IsTheManPageList) {
    std::ifstream page(ORV_SOURCE_DIR "/doc/orv-main.8");
    std::vector<std::string> listed;
    std::map<std::string, std::string> text_of;
    const std::regex key("ORV_[A-Z_]+");
    bool environment = false, tagged = false;
    std::vector<std::string> tag;
    for (std::string line; std::getline(page, line);) {
        if (line.starts_with(".SH")) environment = line == ".SH ENVIRONMENT";
        if (!environment) continue;
        line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
        if (tagged) {
            tag.clear();
            for (std::sregex_iterator k(line.begin(), line.end(), key), end; k != end; ++k)
                tag.push_back(k->str());
            listed.insert(listed.end(), tag.begin(), tag.end());
        }
        for (const std::string& k : tag)
            text_of[k] += line + "\n";
        tagged = line == ".TP";
    }
    std::vector<std::string> keys;
    for (const DeploySettingSpec& row : kDeploySettings) {
        keys.emplace_back(row.key);
        EXPECT_NE(text_of[keys.back()].find(row.fallback), std::string::npos) << row.key;
    }
    EXPECT_EQ(listed, keys);
}
