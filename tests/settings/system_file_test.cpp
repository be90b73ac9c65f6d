// The system settings file: the exact text written, factory set, the version
// reset, reading rules, and setting the clocks.
#include "sandbox.h"
#include "settings/system_file.h"

#include <cstring>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char* kPath = "/var/kelvatro/conf/ORV_System.ini";

std::string file_text(const std::string& version, const std::string& make_date,
                      const std::string& make_time, const std::string& modify_date,
                      const std::string& modify_time) {
    return ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
           "; ORVシステム基本情報          ;\n"
           "; SDカード上に保存されるデータ ;\n"
           ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
           "[ORVSystem]\n"
           "Version=" +
           version +
           "\t; 16進数(32b) システムバージョン\n"
           "UnitID=0000ABCD\t; 16進数(32b) ユニットID\n"
           "UnitName=Tokyo Tower 2\t; ユニット名称 半角31文字まで\n"
           "SystemInfo=04000003\t; 16進数(32b) \n"
           "OptionInfo=00000010\t; 16進数(32b) \n"
           "CustumInfo=00000004\t; 16進数(32b) \n"
           "Language=1\t; 10進数(8b) (0=日本語, 1=英語)\n"
           "HeaderTime=0\t; 10進数(8b) (0=非表示, 1=表示)\n"
           "TimeAdjust=2\t; 10進数(8b) (0=手動, 1=NTP, 2=チューナ, 3=GPS)\n"
           "TimeAdjustInt=600\t; 10進数(32b) 1=1秒\n"
           "WebControl=0\t; 10進数(8b) (0=禁止, 1=許可)\n"
           "MakeDate=" +
           make_date + "\t; 新規作成年月日\nMakeTime=" + make_time +
           "\t; 新規作成時分秒\nModifyDate=" + modify_date +
           "\t; 更新年月日\nModifyTime=" + modify_time +
           "\t; 更新時分秒\n"
           "AutoReset=2\t; 10進数(8b) (0=無効, 1=リセット, 2=リブート)\n"
           "AutoResetTime=04:05:06\t; リセット時分秒\n";
}

SystemSettings sample() {
    SystemSettings s{};
    s.Version = 0x01000004;
    s.UnitID = 0xABCD;
    std::strcpy(s.UnitName, "Tokyo Tower 2");
    s.SystemInfo = 0x04000003;
    s.OptionInfo = 0x10;
    s.CustumInfo = 4;
    s.Language = 1;
    s.HeaderTime = 0;
    s.TimeAdjust = 2;
    s.TimeAdjustInt = 600;
    s.WebControl = 0;
    s.Make = {2023, 2, 3, 4, 5, 6};
    s.Modify = {2024, 11, 12, 13, 14, 15};
    s.AutoReset = 2;
    s.AutoResetTime = {0, 0, 0, 4, 5, 6};
    return s;
}

std::string date_of(const DateTime& dt) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d", dt.year, dt.month, dt.day);
    return text;
}

std::string time_of(const DateTime& dt) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", dt.hour, dt.minute, dt.second);
    return text;
}

class SystemFileTest : public SandboxTest {
  protected:
    SystemSettings read() {
        SystemSettings s{};
        capture_stdout([&] { EXPECT_EQ(0, ReadSystemFile(kPath, s)); });
        return s;
    }
};

TEST_F(SystemFileTest, WritesTheTwentyTwoLinesExactlyAndReadsThemBack) {
    const std::string expected =
        file_text("01000004", "2023/02/03", "04:05:06", "2024/11/12", "13:14:15");
    capture_stdout([] { EXPECT_EQ(0, WriteSystemFile(kPath, sample())); });
    EXPECT_EQ(expected, sandbox.read(kPath));
    EXPECT_EQ(expected, sandbox.read("/usr/kelvatro/conf/ORV_System.ini"));
    struct stat st {};
    ASSERT_EQ(0, stat(sandbox.path(kPath).c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);
    EXPECT_EQ(
        (std::vector<std::string>{"cp -p " + std::string(kPath) + " /usr/kelvatro/conf/", "sync"}),
        sandbox.journal());

    // Every field comes back: written again, the record gives the same text.
    const SystemSettings s = read();
    EXPECT_EQ(2u, sandbox.journal().size()); // not rewritten
    capture_stdout([&] { WriteSystemFile("/var/kelvatro/conf/again.ini", s); });
    EXPECT_EQ(expected, sandbox.read("/var/kelvatro/conf/again.ini"));
}

TEST_F(SystemFileTest, MissingFileIsCreatedWithFactoryValues) {
    SystemSettings s{};
    const std::string out = capture_stdout([&] { EXPECT_EQ(0, ReadSystemFile(kPath, s)); });
    EXPECT_NE(std::string::npos, out.find("<INF> <<System file factory set>>\n"));
    const std::string text = sandbox.read(kPath);
    for (const char* line : {"\nVersion=01000004\t", "\nUnitID=00000000\t",
                             "\nUnitName=VID UVIVEV\t", "\nSystemInfo=00000000\t", "\nLanguage=0\t",
                             "\nHeaderTime=1\t", "\nTimeAdjust=0\t", "\nTimeAdjustInt=3600\t",
                             "\nWebControl=1\t", "\nAutoReset=0\t", "\nAutoResetTime=03:00:00\t"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    // Made and modified at the time of reading.
    EXPECT_NE(std::string::npos, text.find("\nMakeDate=" + date_of(s.Make) + "\t"));
    EXPECT_NE(std::string::npos, text.find("\nModifyTime=" + time_of(s.Make) + "\t"));
    DateTime now{};
    GetLocalDateTime(now);
    EXPECT_EQ(now.year, s.Make.year);
    EXPECT_TRUE(sandbox.exists("/usr/kelvatro/conf/ORV_System.ini"));
}

TEST_F(SystemFileTest, OldVersionIsResetKeepingEveryOtherValue) {
    sandbox.write(kPath, file_text("01000003", "2023/02/03", "04:05:06", "2024/11/12", "13:14:15"));
    SystemSettings s{};
    EXPECT_NE(std::string::npos, capture_stdout([&] {
                                     ReadSystemFile(kPath, s);
                                 }).find("<INF> <<Resetting Version>>\n"));
    EXPECT_NE("2024/11/12", date_of(s.Modify));
    EXPECT_EQ(file_text("01000004", "2023/02/03", "04:05:06", date_of(s.Modify), time_of(s.Modify)),
              sandbox.read(kPath));
}

TEST_F(SystemFileTest, OnlyAVersionReadAfterTheHeaderCanCauseARewrite) {
    sandbox.write(kPath, "[ORVSystem]\nUnitID=12\n");
    EXPECT_EQ(0x12u, read().UnitID);
    sandbox.write(kPath, "Version=01000003\nUnitID=12\nUnitName=x\n");
    SystemSettings s = read();
    EXPECT_EQ(0u, s.UnitID);
    EXPECT_STREQ("VID UVIVEV", s.UnitName);
    EXPECT_TRUE(sandbox.journal().empty());
    // An empty version reads as 0 and is reset.
    sandbox.write(kPath, "[ORVSystem]\nVersion=\nUnitID=12\n");
    s = read();
    EXPECT_EQ(0x01000004u, s.Version);
    EXPECT_EQ(2u, sandbox.journal().size());
}

TEST_F(SystemFileTest, FieldConversions) {
    sandbox.write(kPath, "[ORVSystem]\n"
                         "UnitName=" +
                             std::string(40, 'N') +
                             "\t; x\n"
                             "TimeAdjust=4\nLanguage=-1\nSystemInfo=0x04000000\n"
                             "AutoResetTime=12:30\n");
    const SystemSettings s = read();
    EXPECT_EQ(std::string(31, 'N'), s.UnitName);
    EXPECT_EQ(4, s.TimeAdjust);
    EXPECT_EQ(255, s.Language);
    EXPECT_EQ(0x04000000u, s.SystemInfo);
    EXPECT_EQ(12, s.AutoResetTime.hour);
    EXPECT_EQ(30, s.AutoResetTime.minute);
    EXPECT_EQ(0, s.AutoResetTime.second);
}

TEST_F(SystemFileTest, UnreadableFileFailsAndUnwritableFileIsReported) {
    // A socket exists but cannot be opened, even by root.
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sandbox.path(kPath).c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    SystemSettings s{};
    std::string out = capture_stdout([&] { EXPECT_EQ(-1, ReadSystemFile(kPath, s)); });
    EXPECT_NE(std::string::npos, out.find("<EMG> System file not found\n"));
    EXPECT_STREQ("VID UVIVEV", s.UnitName);
    EXPECT_TRUE(sandbox.journal().empty());
    close(sock);

    out = capture_stdout([&] { EXPECT_EQ(-1, WriteSystemFile("/var/nodir/x.ini", s)); });
    EXPECT_NE(std::string::npos, out.find("<EMG> System file error\n"));
}

TEST_F(SystemFileTest, PrintoutLines) {
    const std::string out = capture_stdout([] { PrintSystemSettings(sample()); });
    const std::regex lines(R"(.{19} <INF> Version     : 01000004
.{19} <INF> Unit Name   : Tokyo Tower 2
.{19} <INF> System Info : 04000003
.{19} <INF> Option Info : 00000010
.{19} <INF> Custum Info : 00000004
.{19} <INF> HeaderTime  : 0
)");
    EXPECT_TRUE(std::regex_match(out, lines)) << out;
}

TEST_F(SystemFileTest, SetSystemDateJournalsTheClockAndBothCommands) {
    EXPECT_EQ(0, SetSystemDate(DateTime{2024, 1, 5, 9, 7, 3}));
    // 2024-01-05 09:07:03 in Japan is 00:07:03 UTC.
    EXPECT_EQ((std::vector<std::string>{"clock_settime 1704413223.000000",
                                        "date -s \"2024-01-05 09:07:03\"", "hwclock -wu"}),
              sandbox.journal());
}

} // namespace
