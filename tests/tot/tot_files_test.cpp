// The TOT settings file and the TOT status file, byte for byte.
#include "sandbox.h"
#include "settings/system_file.h"
#include "tot/ntp_server.h"
#include "tot/tot_files.h"
#include "tot/tot_state.h"
#include "tot/tot_step.h"

namespace {

constexpr const char* kSetupPath = "/var/kelvatro/conf/Setup_05_01.ini";
constexpr const char* kStatusPath = "/var/kelvatro/conf/Status_05_01.txt";

const std::string kTotBlock7 =
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
    "; 内部機能 (TOT)                                 ;\n"
    "; 本機能はORV_System.iniのSystemInfoで機能設定する ;\n"
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
    "[TOT]\n"
    "Status=1\t\t\t\t;10進数(8b) 0=Disable, 1=Enable\n"
    "Set_TOT_CH_TYPE=0\t\t;設定されているチャンネルタイプ(UHF,VHF,CATV)\n"
    "Set_TOT_CH_NUM=27\t\t;設定されているチャンネル番号\n"
    "Set_TOT_STRATUM=7\t\t;設定されているstratum値\n";

auto fields(const TotSettings& s) {
    return std::tuple(int(s.Status), int(s.Set_TOT_CH_TYPE), int(s.Set_TOT_CH_NUM),
                      int(s.Set_TOT_STRATUM));
}

class TotFiles : public SandboxTest {
  protected:
    void SetUp() override {
        tot_state_reset();
        system_settings.CustumInfo = 0;
    }
};

} // namespace

// A missing file is factory-set, logged and written with the [TOT] block, mode
// 0666, and copied to the SD card. (The variant's stratum 11: the TOT step tests.)
TEST_F(TotFiles, MissingSettingsFileIsFactorySetThenItsValuesRead) {
    TotSettings s{9, 9, 9, 9};
    EXPECT_EQ(tot_read_settings(kSetupPath, s), 0);
    EXPECT_EQ(fields(s), std::tuple(1, 0, 27, 7));
    EXPECT_EQ(sandbox.read(kSetupPath), kTotBlock7);
    EXPECT_EQ(sandbox.read("/usr/kelvatro/conf/Setup_05_01.ini"), kTotBlock7);
    EXPECT_EQ(sandbox.log_count("<<TOT file factory set>>\n"), 1);
    struct stat st {};
    ASSERT_EQ(::stat(sandbox.path(kSetupPath).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    // Values keep their low 8 bits, and absent keys keep their factory values
    // (the keys that count, after the header: IniReadFile's tests).
    sandbox.write(kSetupPath, "[TOT]\nSet_TOT_CH_TYPE=2\nSet_TOT_CH_NUM=300\t\t;wraps\n");
    s = {};
    EXPECT_EQ(tot_read_settings(kSetupPath, s), 0);
    EXPECT_EQ(fields(s), std::tuple(1, 2, 44, 7));
}

TEST_F(TotFiles, StatusFileShowsSettingsReceptionAndTakenTime) {
    TotStatus st{{1, 0, 44, 1}, 180, 28, 3, 100000, 250000, 1};
    tot_state.last_date = TotDate{2023, 2, 5};
    tot_state.last_time = TotTime{0, 7, 8, 9};
    ntp_server.running = 1;
    ASSERT_EQ(tot_write_status(kStatusPath, st), 0);
    std::string block = kTotBlock7;
    block.replace(block.find("CH_NUM=27"), 9, "CH_NUM=44");
    block.replace(block.find("STRATUM=7"), 9, "STRATUM=1");
    EXPECT_EQ(sandbox.read(kStatusPath),
              block + "[TOTStatus]\n"
                      "Now_TunerLock=1\t\t\t\t;チューナロック?(0:unlock  1:lock)\n"
                      "Now_TOTNTP=1\t\t\t\t\t;NTPサーバ(0:停止,1:起動)\n"
                      "Now_TOTCHNUM=UHF-44\t\t\t;現在チューニングチャンネル番号\n"
                      "Now_TOTLevel=180\t\t\t\t;現在のレベル値(無次元最大値255)\n"
                      "Now_TOTSNR=28\t\t\t\t\t;現在のSN比[dB]\n"
                      "Now_TOTberA=3e-5\t\t\t\t;現在のBER\n"
                      "Now_TOTberB=100000e-5\t\t\t\t;現在のBER\n"
                      "Now_TOTber=250000\t\t\t\t\t;現在のBER(表示値)\n"
                      "Now_TOTSTRATUM=1\t\t\t\t;現在のNTPサーバのstratum\n"
                      "Now_TOTDATE=2023/02/05\t\t;現在の日付\n"
                      "Now_TOTTIME=07:08:09\t;現在の時刻\n");
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/conf/Status_05_01.txt"));
}
