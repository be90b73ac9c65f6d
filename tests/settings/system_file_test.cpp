// The system settings file: the exact text written, factory set, the version
// reset, reading rules, and setting the clocks.
#include "sandbox.h"
#include "settings/system_file.h"
#include "text.h"

#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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
    return {.Version = 0x01000004,
            .SystemInfo = 0x04000003,
            .OptionInfo = 0x10,
            .CustumInfo = 4,
            .Language = 1,
            .TimeAdjust = 2,
            .WebControl = 0,
            .HeaderTime = 0,
            .TimeAdjustInt = 600,
            .Make = {2023, 2, 3, 4, 5, 6},
            .Modify = {2024, 11, 12, 13, 14, 15},
            .UnitID = 0xABCD,
            .UnitName = "Tokyo Tower 2",
            .AutoReset = 2,
            .AutoResetTime = {0, 0, 0, 4, 5, 6}};
}

// The date and the time as the file writes them.
std::pair<std::string, std::string> stamp(const DateTime& dt) {
    char date[32], time[32];
    std::snprintf(date, sizeof date, "%04d/%02d/%02d", dt.year, dt.month, dt.day);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", dt.hour, dt.minute, dt.second);
    return {date, time};
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
    EXPECT_EQ(std::vector<std::string>{"sync"}, sandbox.journal());

    // Every field comes back: written again, the record gives the same text.
    const SystemSettings s = read();
    EXPECT_EQ(1u, sandbox.journal().size()); // not rewritten
    capture_stdout([&] { WriteSystemFile("/var/kelvatro/conf/again.ini", s); });
    EXPECT_EQ(expected, sandbox.read("/var/kelvatro/conf/again.ini"));
    const std::regex printout(R"(.{19} <INF> Version     : 01000004
.{19} <INF> Unit Name   : Tokyo Tower 2
.{19} <INF> System Info : 04000003
.{19} <INF> Option Info : 00000010
.{19} <INF> Custum Info : 00000004
.{19} <INF> HeaderTime  : 0
)");
    const std::string out = capture_stdout([&] { PrintSystemSettings(s); });
    EXPECT_TRUE(std::regex_match(out, printout)) << out;
}

TEST_F(SystemFileTest, MissingFileIsCreatedWithFactoryValues) {
    SystemSettings s{};
    const std::string out = capture_stdout([&] { EXPECT_EQ(0, ReadSystemFile(kPath, s)); });
    EXPECT_TRUE(contains(out, "<INF> <<System file factory set>>\n"));
    const std::string text = sandbox.read(kPath);
    const auto [date, time] = stamp(s.Make); // made and modified at the time of reading
    for (const std::string& line : std::vector<std::string>{
             "\nVersion=01000004\t", "\nUnitID=00000000\t", "\nUnitName=VID UVIVEV\t",
             "\nSystemInfo=00000000\t", "\nLanguage=0\t", "\nHeaderTime=1\t", "\nTimeAdjust=0\t",
             "\nTimeAdjustInt=3600\t", "\nWebControl=1\t", "\nAutoReset=0\t",
             "\nAutoResetTime=03:00:00\t", "\nMakeDate=" + date + "\t",
             "\nModifyTime=" + time + "\t"})
        EXPECT_TRUE(contains(text, line)) << line;
    DateTime now{};
    GetLocalDateTime(now);
    EXPECT_EQ(now.year, s.Make.year);
}

TEST_F(SystemFileTest, OldVersionIsResetKeepingEveryOtherValue) {
    sandbox.write(kPath, file_text("01000003", "2023/02/03", "04:05:06", "2024/11/12", "13:14:15"));
    SystemSettings s{};
    EXPECT_TRUE(contains(capture_stdout([&] { ReadSystemFile(kPath, s); }),
                         "<INF> <<Resetting Version>>\n"));
    const auto [date, time] = stamp(s.Modify);
    EXPECT_NE("2024/11/12", date);
    EXPECT_EQ(file_text("01000004", "2023/02/03", "04:05:06", date, time), sandbox.read(kPath));
}

TEST_F(SystemFileTest, OnlyAVersionReadAfterTheHeaderCanCauseARewrite) {
    sandbox.write(kPath, "Version=01000003\nUnitID=12\nUnitName=x\n");
    SystemSettings s = read();
    EXPECT_EQ(0u, s.UnitID);
    EXPECT_STREQ("VID UVIVEV", s.UnitName);
    EXPECT_TRUE(sandbox.journal().empty());
    // An empty version reads as 0 and is reset.
    sandbox.write(kPath, "[ORVSystem]\nVersion=\nUnitID=12\n");
    s = read();
    EXPECT_EQ(0x12u, s.UnitID);
    EXPECT_EQ(0x01000004u, s.Version);
    EXPECT_EQ(1u, sandbox.journal().size());
    sandbox.write(kPath, "[ORVSystem]\nUnitName=" + std::string(40, 'N') + "\t; x\n");
    EXPECT_EQ(std::string(31, 'N'), read().UnitName);
}

TEST_F(SystemFileTest, UnreadableFileFailsAndUnwritableFileIsReported) {
    // A socket exists but cannot be opened, even by root.
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    std::strncpy(addr.sun_path, sandbox.path(kPath).c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    SystemSettings s{};
    std::string out = capture_stdout([&] { EXPECT_EQ(-1, ReadSystemFile(kPath, s)); });
    EXPECT_TRUE(contains(out, "<EMG> System file not found\n"));
    EXPECT_STREQ("VID UVIVEV", s.UnitName);
    EXPECT_TRUE(sandbox.journal().empty());
    close(sock);

    out = capture_stdout([&] { EXPECT_EQ(-1, WriteSystemFile("/var/nodir/x.ini", s)); });
    EXPECT_TRUE(contains(out, "<EMG> System file error\n"));
}

// A write cut short (here by the file size limit, as by a full disk) leaves
// both copies as they were and is reported.
TEST_F(SystemFileTest, ShortWriteLeavesBothCopiesWhole) {
    capture_stdout([] { WriteSystemFile(kPath, sample()); });
    const std::string whole = sandbox.read(kPath);
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{300, 300};
        setrlimit(RLIMIT_FSIZE, &limit);
        SystemSettings changed = sample();
        changed.UnitID = 0x99;
        _exit(WriteSystemFile(kPath, changed) == -1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
    EXPECT_EQ(whole, sandbox.read(kPath));
    EXPECT_EQ(whole, sandbox.read("/usr/kelvatro/conf/ORV_System.ini"));
    EXPECT_TRUE(contains(sandbox.read("/var/www/StatusLog.txt"),
                         "<ERR> Cannot write /var/kelvatro/conf/ORV_System.ini: File too large\n"));
}

// At start a damaged file is restored from a whole SD copy (the unit's runs show
// each kind of damage); with the SD copy damaged too, the factory values return.
TEST_F(SystemFileTest, DamagedFileWithADamagedSdCopyGetsFactoryValues) {
    const std::string whole =
        file_text("01000004", "2023/02/03", "04:05:06", "2024/11/12", "13:14:15");
    sandbox.write(kPath, whole.substr(0, whole.find("AutoReset=")));
    sandbox.write("/usr/kelvatro/conf/ORV_System.ini", "");
    SystemSettings s{};
    capture_stdout([&] {
        CheckSettingsFile(kPath, kSystemFileShape);
        ReadSystemFile(kPath, s);
    });
    EXPECT_EQ(0u, s.SystemInfo);
    EXPECT_EQ(sandbox.read(kPath), sandbox.read("/usr/kelvatro/conf/ORV_System.ini"));
    const std::string log = sandbox.read("/var/www/StatusLog.txt");
    EXPECT_TRUE(contains(log, "<ERR> /var/kelvatro/conf/ORV_System.ini not whole (no AutoReset "
                              "key), nor /usr/kelvatro/conf/ORV_System.ini (empty): factory "
                              "values\n"))
        << log;
    EXPECT_TRUE(contains(log, "<INF> <<System file factory set>>\n"));
}

} // namespace
