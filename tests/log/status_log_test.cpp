// The status log: line format and level names, outputs, the message cut,
// and rotation through the generations.
#include "fake_unit_clock.h"
#include "log/status_log.h"
#include "os/deploy_settings.h"
#include "sandbox.h"

#include <grp.h>
#include <regex>

namespace {

constexpr const char* kCurrent = "/var/www/StatusLog.txt";

using StatusLogTest = SandboxTest;

TEST_F(StatusLogTest, LineCarriesLocalTimeAndEveryLevelName) {
    const std::string out = capture_stdout([] {
        for (int level = 0; level <= 9; ++level)
            LogPrint(3, level, "code %d\n", level);
    });
    EXPECT_EQ(out, sandbox.read(kCurrent));
    // Each line begins with the date and time, here "T".
    EXPECT_EQ(std::regex_replace(out, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)"), "T"),
              "T <EMG> code 0\nT <ALT> code 1\nT <CRIT> code 2\nT <ERR> code 3\nT <WARN> code 4\n"
              "T <NOTICE> code 5\nT <INF> code 6\nT <DEBUG> code 7\nT <DEBUG> code 8\n"
              "T <DEBUG> code 9\n");
}

TEST_F(StatusLogTest, OutputsSelectConsoleAndFileAndLongMessagesAreCut) {
    EXPECT_EQ(30u, capture_stdout([] { EXPECT_EQ(30, LogPrint(1, 6, "one\n")); }).size());
    EXPECT_FALSE(sandbox.exists(kCurrent));
    EXPECT_EQ("", capture_stdout([] { EXPECT_EQ(0, LogPrint(2, 6, "two\n")); }));
    EXPECT_EQ("", capture_stdout([] { EXPECT_EQ(32, LogPrint(0, 6, "three\n")); }));
    EXPECT_EQ(30u, fs::file_size(sandbox.path(kCurrent)));

    sandbox.remove(kCurrent);
    LogPrint(2, 6, "%s\n", std::string(255, 'm').c_str()); // 256 characters: one too many
    LogPrint(2, 6, "next\n");
    const std::string file = sandbox.read(kCurrent);
    // The cut keeps the line end: the next line begins a line of its own.
    EXPECT_EQ(" <INF> " + std::string(254, 'm') + "\n", file.substr(19, 7 + 255));
    EXPECT_EQ(file.substr(19 + 7 + 255 + 19), " <INF> next\n");

    sandbox.remove("/var/www");
    capture_stdout([] { EXPECT_EQ(-1, LogPrint(3, 3, "lost\n")); });
    fs::create_directories(sandbox.path("/var/www"));
    EXPECT_EQ(0, LogPrint(2, 3, "kept\n"));
    EXPECT_EQ(sandbox.read(kCurrent).substr(19), " <ERR> kept\n");

    // A link in the file's place, symbolic or hard, is moved aside, never
    // written through.
    sandbox.remove(kCurrent);
    sandbox.write("/var/www/target", "");
    fs::create_symlink(sandbox.path("/var/www/target"), sandbox.path(kCurrent));
    LogPrint(2, 3, "after\n");
    sandbox.remove(kCurrent);
    fs::create_hard_link(sandbox.path("/var/www/target"), sandbox.path(kCurrent));
    LogPrint(2, 3, "linked\n");
    EXPECT_EQ(sandbox.log(),
              " <ERR> linked\n <ERR> /var/www/StatusLog.txt had a second name (a hard link): "
              "moved to /var/www/StatusLog.txt.aside\n");
    EXPECT_TRUE(fs::is_symlink(sandbox.path(kCurrent) + ".aside1"));
    EXPECT_TRUE(fs::equivalent(sandbox.path(kCurrent) + ".aside", sandbox.path("/var/www/target")));
    EXPECT_EQ("", sandbox.read("/var/www/target"));
}

// With ORV_GROUP naming a group, the log and its generations are root's and
// that group's to read only (the web front end shows them); else everyone's.
TEST_F(StatusLogTest, TheLogIsReadByTheGroupThatOrvGroupNames) {
    const group* other = getgrgid(1);
    if (!other || getegid() != 0) GTEST_SKIP() << "needs root and a group of id 1";
    const auto access = [&](const char* path) {
        struct stat st {};
        EXPECT_EQ(0, stat(sandbox.path(path).c_str(), &st)) << path;
        return std::pair{st.st_mode & 07777, st.st_gid};
    };
    LogWriteToFile("before\n");
    EXPECT_EQ(access(kCurrent), std::pair(0644u, gid_t{0}));
    sandbox.write(kDeploySettingsPath, "ORV_GROUP=" + std::string(other->gr_name) + "\n");
    deploy_settings_reload();
    sandbox.write("/var/www/StatusLog1.txt", "older\n");
    capture_stdout([] {
        LogWriteToFile("grouped\n");
        LogWriteToFile(std::string(131072, 'x').c_str());
    });
    EXPECT_EQ(access("/var/www/StatusLog1.txt"), std::pair(0640u, gid_t{1}));
    EXPECT_EQ(access("/var/www/StatusLog2.txt"), std::pair(0640u, gid_t{1}));
    LogWriteToFile("new\n");
    EXPECT_EQ(access(kCurrent), std::pair(0640u, gid_t{1}));
}

// A failure is logged once a run, with its count at the run's end. Text from
// outside comes escaped: C0 and C1 controls (raw and as UTF-8), DEL, each byte
// of no UTF-8 character (overlong, a surrogate, past U+10FFFF, cut short); a
// character kept whole to each end of its range; no escape past the limit.
TEST_F(StatusLogTest, RepeatedFailuresAreLoggedOnceARunAndOutsideTextEscaped) {
    LogRepeat site;
    capture_stdout([&] {
        for (int i = 0; i < 3; ++i)
            LogRepeated(site, 3, "fail %d\n", i);
        LogRepeatEnd(site);
        LogRepeatEnd(site);
        LogRepeated(site, 0, "once\n");
        LogRepeatEnd(site);
    });
    EXPECT_EQ(sandbox.log(), " <ERR> fail 0\n <ERR> Repeated 2 more times: fail 0\n <EMG> once\n");
    const std::string kept =
        "\xc2\xa0\xc3\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
    const std::pair<std::string, std::string> cases[] = {
        {"x\\y\t\r\n\x1b[2J\x7f\x01 ~", R"(x\\y\t\r\n\x1B[2J\x7F\x01 ~)"},
        {"\x9b\xc2\x80\xc2\x9f", R"(\x9B\xC2\x80\xC2\x9F)"},
        {kept, kept},
        {"\xc0\x80\xc1\xbf", R"(\xC0\x80\xC1\xBF)"},
        {"\xe0\x9f\xbf\xf0\x8f\xbf\xbf", R"(\xE0\x9F\xBF\xF0\x8F\xBF\xBF)"},
        {"\xed\xa0\x80\xf4\x90\x80\x80", R"(\xED\xA0\x80\xF4\x90\x80\x80)"},
        {"\xf5\x80\x80\x80\xff", R"(\xF5\x80\x80\x80\xFF)"},
        {"\xe3\x82\x61\xe3\x82", R"(\xE3\x82a\xE3\x82)"},
    };
    for (const auto& [text, escaped] : cases)
        EXPECT_EQ(LogEscaped(text), escaped) << escaped;
    EXPECT_EQ(LogEscaped("ab\x01", 5), "ab"); // "\x01" would pass 5
}

// Lines of a kind held back are logged at the tick once their second is over:
// the count, or the one line held as it stands.
TEST_F(StatusLogTest, HeldLinesAreLoggedOnceTheirSecondIsOver) {
    FakeUnitClock clock;
    static LogFlood echo, refusal; // listed for the flush for the whole process
    capture_stdout([&] {
        for (int i = 0; i < 3; ++i)
            LogLimited(echo, 7, "echo %d\n", i);
        LogLimited(refusal, 3, "one\n");
        LogLimited(refusal, 3, "two\n");
        clock.advance_us(999999);
        LogHeldFlush(); // within the second: nothing
        EXPECT_EQ(sandbox.log(), " <DEBUG> echo 0\n <ERR> one\n");
        clock.advance_us(1);
        LogHeldFlush();
        LogHeldFlush();
    });
    EXPECT_EQ(sandbox.log(),
              " <DEBUG> echo 0\n <ERR> one\n <DEBUG> Held back 2 more like: echo 2\n <ERR> two\n");
}

TEST_F(StatusLogTest, RotationAtTheThreshold) {
    sandbox.write(kCurrent, std::string(131072 - 10, 'x'));
    sandbox.write("/var/www/StatusLog6.txt", "six");
    capture_stdout([] { LogWriteToFile("123456789"); });
    EXPECT_FALSE(sandbox.exists("/var/www/StatusLog1.txt")); // one byte short
    capture_stdout([] { EXPECT_EQ(0, LogWriteToFile("!")); });
    EXPECT_FALSE(sandbox.exists(kCurrent));
    const std::string rotated = sandbox.read("/var/www/StatusLog1.txt");
    EXPECT_EQ(131072u, rotated.size());
    EXPECT_EQ("123456789!", rotated.substr(rotated.size() - 10));
    EXPECT_EQ("six", sandbox.read("/var/www/StatusLog7.txt"));
    LogWriteToFile("after\n");
    EXPECT_EQ("after\n", sandbox.read(kCurrent));
}

} // namespace
