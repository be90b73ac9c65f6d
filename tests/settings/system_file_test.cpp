// The system settings file: the exact text written, factory set, the version
// reset, reading rules, and writes that fail.
#include "sandbox.h"
#include "settings/system_file.h"

#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace {

constexpr const char* kPath = "/var/kelvatro/conf/ORV_System.ini";
constexpr const char* kSdPath = "/usr/kelvatro/conf/ORV_System.ini";

// The file for the values of its seventeen keys, in the file's order.
std::string file_text(const std::vector<std::string>& values) {
    const char* const lines[] = {"Version=%\t; 16進数(32b) システムバージョン",
                                 "UnitID=%\t; 16進数(32b) ユニットID",
                                 "UnitName=%\t; ユニット名称 半角31文字まで",
                                 "SystemInfo=%\t; 16進数(32b) ",
                                 "OptionInfo=%\t; 16進数(32b) ",
                                 "CustumInfo=%\t; 16進数(32b) ",
                                 "Language=%\t; 10進数(8b) (0=日本語, 1=英語)",
                                 "HeaderTime=%\t; 10進数(8b) (0=非表示, 1=表示)",
                                 "TimeAdjust=%\t; 10進数(8b) (0=手動, 1=NTP, 2=チューナ, 3=GPS)",
                                 "TimeAdjustInt=%\t; 10進数(32b) 1=1秒",
                                 "WebControl=%\t; 10進数(8b) (0=禁止, 1=許可)",
                                 "MakeDate=%\t; 新規作成年月日",
                                 "MakeTime=%\t; 新規作成時分秒",
                                 "ModifyDate=%\t; 更新年月日",
                                 "ModifyTime=%\t; 更新時分秒",
                                 "AutoReset=%\t; 10進数(8b) (0=無効, 1=リセット, 2=リブート)",
                                 "AutoResetTime=%\t; リセット時分秒"};
    std::string text = ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
                       "; ORVシステム基本情報          ;\n"
                       "; SDカード上に保存されるデータ ;\n"
                       ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
                       "[ORVSystem]\n";
    for (size_t i = 0; i < values.size(); ++i) {
        std::string line = lines[i];
        text += line.replace(line.find('%'), 1, values[i]) + "\n";
    }
    return text;
}

const std::vector<std::string> kSampleValues = {
    "01000004", "0000ABCD", "Tokyo Tower 2", "04000003", "00000010",   "00000004", "1",
    "0",        "2",        "600",           "0",        "2023/02/03", "04:05:06", "2024/11/12",
    "13:14:15", "2",        "04:05:06"};

// The date or the time as the file writes them.
std::string stamp(const DateTime& t, bool date) {
    char text[32];
    std::snprintf(text, sizeof text, date ? "%04d/%02d/%02d" : "%02d:%02d:%02d",
                  date ? t.year : t.hour, date ? t.month : t.minute, date ? t.day : t.second);
    return text;
}

// Runs the function on a thread of its own without the capability to override
// file modes, so that a directory's mode holds for root too.
template <typename F> void without_mode_override(F&& f) {
    std::thread([&f] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0}; // this thread
        __user_cap_data_struct caps[2]{};
        syscall(SYS_capget, &header, caps);
        caps[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        syscall(SYS_capset, &header, caps);
        f();
    }).join();
}

using SystemFileTest = SandboxTest;

// Every key is read: written again, the record gives the same text. Printed,
// the unit name comes escaped.
TEST_F(SystemFileTest, ReadsEveryKeyAndWritesTheTwentyTwoLinesBack) {
    const std::string expected = file_text(kSampleValues);
    sandbox.write(kPath, expected);
    SystemSettings s{};
    capture_stdout([&] { EXPECT_EQ(0, ReadSystemFile(kPath, s)); });
    EXPECT_TRUE(sandbox.journal().empty()); // not rewritten
    sandbox.remove(kPath);
    capture_stdout([&] { EXPECT_EQ(0, WriteSystemFile(kPath, s)); });
    EXPECT_EQ(expected, sandbox.read(kPath));
    EXPECT_EQ(std::vector<std::string>{"sync"}, sandbox.journal());
    std::strcpy(s.UnitName, "Tokyo\x1b[2JTower");
    capture_stdout([&] { PrintSystemSettings(s); });
    EXPECT_EQ(sandbox.log(), " <INF> Version     : 01000004\n"
                             " <INF> Unit Name   : Tokyo\\x1B[2JTower\n"
                             " <INF> System Info : 04000003\n"
                             " <INF> Option Info : 00000010\n"
                             " <INF> Custum Info : 00000004\n"
                             " <INF> HeaderTime  : 0\n");
}

// A missing file gets the factory values, made and modified at the time of
// reading.
TEST_F(SystemFileTest, MissingFileGetsTheFactoryValues) {
    SystemSettings s{};
    capture_stdout([&] { EXPECT_EQ(0, ReadSystemFile(kPath, s)); });
    EXPECT_EQ(sandbox.read(kPath),
              file_text({"01000004", "00000000", "VID UVIVEV", "00000000", "00000000", "00000000",
                         "0", "1", "0", "3600", "1", stamp(s.Make, true), stamp(s.Make, false),
                         stamp(s.Modify, true), stamp(s.Modify, false), "0", "03:00:00"}));
    DateTime now{};
    GetLocalDateTime(now);
    EXPECT_EQ(now.year, s.Make.year);
}

// A file that lacks keys (here the Version line) is the user's: read with the
// factory values for the rest, never rewritten nor replaced by the SD copy;
// so is one with a BOM, blanks around '=', a comment in Shift-JIS, a long one
// in UTF-8, and a last line cut (its value, not one its key takes, counts as
// missing). One that cannot be read as the unit's (a line longer than 1024
// bytes, a file larger than 64 KiB, ...) is moved aside and restored from the
// SD copy, or, when that cannot be read either, gets the factory values.
TEST_F(SystemFileTest, OnlyAFileThatCannotBeReadIsReplaced) {
    std::string kana;
    for (int i = 0; i < 100; ++i)
        kana += "あ";
    const std::string mine = "\xEF\xBB\xBF[ORVSystem] \nUnitName=Mine\t; \x83\x7D\x83\x43\n"
                             "SystemInfo = 0400A000\t; x" +
                             kana + "\nTimeAdjustInt=36x";
    const std::string copy = file_text(kSampleValues);
    sandbox.write(kPath, mine);
    sandbox.write(kSdPath, copy);
    SystemSettings s{};
    capture_stdout([&] {
        CheckSettingsFile(kPath, kSystemFileShape);
        ReadSystemFile(kPath, s);
    });
    EXPECT_EQ(mine, sandbox.read(kPath));
    EXPECT_EQ(copy, sandbox.read(kSdPath));
    EXPECT_STREQ("Mine", s.UnitName);
    EXPECT_EQ(0x01000004u, s.Version);
    EXPECT_EQ(0x0400A000u, s.SystemInfo);
    EXPECT_EQ(3600u, s.TimeAdjustInt);

    const std::string nul = std::string("[ORVSystem]\nUnitName=A") + '\0' + "\n";
    const std::pair<std::string, std::string> damaged[] = {
        {"", "empty"},
        {nul, "a NUL byte"},
        {"[ORVSystem]\nUnitName=\xE6\x9D\n", "not UTF-8 text"},
        {"[ORVSystem]\nUnitName=A\t;" + std::string(1023, ' ') + "\n",
         "line 2 longer than 1024 bytes"},
        {"[ORVSystem]\n" + std::string(65536, ';'), "larger than 64 KiB"},
        {"UnitName=A\n[ORVNetwork]\n", "no [ORVSystem] header"}};
    std::string expected_log;
    for (const auto& [text, why] : damaged) {
        sandbox.write(kPath, text);
        capture_stdout([&] { CheckSettingsFile(kPath, kSystemFileShape); });
        EXPECT_EQ(copy, sandbox.read(kPath)) << why;
        expected_log += " <ERR> /var/kelvatro/conf/ORV_System.ini not whole (" + why +
                        "), moved to /var/kelvatro/conf/ORV_System.ini.aside: restored from "
                        "/usr/kelvatro/conf/ORV_System.ini\n";
    }
    // The newest three moved aside are kept.
    EXPECT_EQ(damaged[5].first, sandbox.read(std::string(kPath) + ".aside"));
    EXPECT_EQ(damaged[3].first, sandbox.read(std::string(kPath) + ".aside2"));
    EXPECT_FALSE(sandbox.exists(std::string(kPath) + ".aside3"));

    // One that cannot be moved aside is left as it is, never overwritten.
    sandbox.write(kPath, "");
    chmod(sandbox.path("/var/kelvatro/conf").c_str(), 0555);
    capture_stdout(
        [] { without_mode_override([] { CheckSettingsFile(kPath, kSystemFileShape); }); });
    chmod(sandbox.path("/var/kelvatro/conf").c_str(), 0755);
    EXPECT_EQ("", sandbox.read(kPath));
    expected_log += " <ERR> /var/kelvatro/conf/ORV_System.ini not whole (empty) and cannot be "
                    "moved aside: Permission denied; left as it is\n";

    sandbox.write(kPath, "UnitName=cut\n");
    sandbox.write(kSdPath, "");
    capture_stdout([&] {
        CheckSettingsFile(kPath, kSystemFileShape);
        ReadSystemFile(kPath, s);
    });
    EXPECT_STREQ("VID UVIVEV", s.UnitName);
    expected_log += " <ERR> /var/kelvatro/conf/ORV_System.ini not whole (no [ORVSystem] header), "
                    "moved to /var/kelvatro/conf/ORV_System.ini.aside; nor "
                    "/usr/kelvatro/conf/ORV_System.ini (empty): factory values\n"
                    " <INF> <<System file factory set>>\n";
    EXPECT_EQ(expected_log, sandbox.log());
}

// A unit name longer than 31 characters is cut.
TEST_F(SystemFileTest, OldVersionIsResetKeepingEveryOtherValue) {
    std::vector<std::string> values = kSampleValues;
    values[0] = "01000003";
    values[2] = std::string(40, 'N');
    sandbox.write(kPath, file_text(values));
    SystemSettings s{};
    capture_stdout([&] { ReadSystemFile(kPath, s); });
    values[0] = "01000004";
    values[2] = std::string(31, 'N');
    values[13] = stamp(s.Modify, true);
    values[14] = stamp(s.Modify, false);
    EXPECT_NE("2024/11/12", values[13]);
    EXPECT_EQ(file_text(values), sandbox.read(kPath));
}

// A file that exists but cannot be opened (a socket, even for root) is not
// replaced by the factory values.
TEST_F(SystemFileTest, UnreadableFileFailsAndIsNotReplaced) {
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    std::strncpy(addr.sun_path, sandbox.path(kPath).c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    SystemSettings s{};
    EXPECT_TRUE(contains(capture_stdout([&] { EXPECT_EQ(-1, ReadSystemFile(kPath, s)); }),
                         "<EMG> System file not found\n"));
    EXPECT_STREQ("VID UVIVEV", s.UnitName);
    EXPECT_TRUE(sandbox.journal().empty());
    close(sock);
}

// A write cut short (here by the file size limit, as by a full disk) leaves
// both copies as they were and is reported, once for writes that fail again.
TEST_F(SystemFileTest, ShortWriteLeavesBothCopiesWhole) {
    const std::string whole = file_text(kSampleValues);
    sandbox.write(kPath, whole);
    sandbox.write(kSdPath, whole);
    SystemSettings changed{};
    changed.UnitID = 0x99;
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{300, 300};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(WriteSystemFile(kPath, changed) == -1 && WriteSystemFile(kPath, changed) == -1 ? 0
                                                                                             : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
    EXPECT_EQ(whole, sandbox.read(kPath));
    EXPECT_EQ(whole, sandbox.read(kSdPath));
    EXPECT_EQ(1, count(sandbox.read("/var/www/StatusLog.txt"),
                       "<ERR> Cannot write /var/kelvatro/conf/ORV_System.ini: File too large\n"));
}

} // namespace
