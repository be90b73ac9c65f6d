// The status log: line format, outputs, the message cut, rotation through the
// generations and the archive deletion.
#include "log/status_log.h"
#include "sandbox.h"

#include <filesystem>
#include <regex>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr const char* kCurrent = "/var/www/StatusLog.txt";

std::string generation(int n) {
    return "/var/www/StatusLog" + std::to_string(n) + ".txt";
}

class StatusLogTest : public SandboxTest {
  protected:
    size_t current_size() const { return fs::file_size(sandbox.path(kCurrent)); }
};

// A line is "YYYY/MM/DD hh:mm:ss <LEVEL> message": 19 + 2 + name + 2 bytes before the message.
TEST_F(StatusLogTest, LineCarriesLocalTimeAndLevelName) {
    const std::string out = capture_stdout([] {
        LogPrint(3, 0, "System file not found\n");
        LogPrint(3, 3, "code %d\n", 42);
        LogPrint(3, 6, "<<System file factory set>>\n");
        LogPrint(3, 9, "reg %s\n", "r 6200");
    });
    const std::string file = sandbox.read(kCurrent);
    EXPECT_EQ(out, file);
    const std::regex expected(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d <EMG> System file not found
\d{4}/\d\d/\d\d \d\d:\d\d:\d\d <ERR> code 42
\d{4}/\d\d/\d\d \d\d:\d\d:\d\d <INF> <<System file factory set>>
\d{4}/\d\d/\d\d \d\d:\d\d:\d\d <DEBUG> reg r 6200
)");
    EXPECT_TRUE(std::regex_match(file, expected)) << file;
}

TEST_F(StatusLogTest, LevelNamesOfTheWholeTable) {
    const char* names[] = {"EMG", "ALT", "CRIT", "ERR", "WARN", "NOTICE", "INF", "DEBUG", "DEBUG"};
    for (int level = 0; level <= 8; ++level) {
        const std::string out = capture_stdout([level] { LogPrint(1, level, "x\n"); });
        EXPECT_EQ(" <" + std::string(names[level]) + "> x\n", out.substr(19)) << level;
    }
}

TEST_F(StatusLogTest, OutputsSelectConsoleAndFile) {
    std::string out = capture_stdout([] { EXPECT_EQ(30, LogPrint(1, 6, "one\n")); });
    EXPECT_EQ(30u, out.size());
    EXPECT_FALSE(sandbox.exists(kCurrent));

    out = capture_stdout([] { EXPECT_EQ(0, LogPrint(2, 6, "two\n")); });
    EXPECT_EQ("", out);
    EXPECT_EQ(30u, current_size());

    out = capture_stdout([] { EXPECT_EQ(32, LogPrint(0, 6, "three\n")); });
    EXPECT_EQ("", out);
    EXPECT_EQ(30u, current_size());
}

TEST_F(StatusLogTest, LongMessageIsCutAt255Characters) {
    const std::string text(300, 'm');
    LogPrint(2, 6, "%s\n", text.c_str());
    LogPrint(2, 6, "next\n");
    const std::string file = sandbox.read(kCurrent);
    const size_t first = 19 + 2 + 3 + 2;
    EXPECT_EQ(std::string(255, 'm'), file.substr(first, 255));
    // The cut took the line end: the next line follows on the same text line.
    EXPECT_EQ(file.size() - 1, file.find('\n'));
    EXPECT_EQ("> next\n", file.substr(file.size() - 7));
}

TEST_F(StatusLogTest, MissingDirectoryReportsAndRecovers) {
    sandbox.remove("/var/www");
    std::string out = capture_stdout([] { EXPECT_EQ(-1, LogPrint(3, 3, "lost\n")); });
    EXPECT_NE(std::string::npos,
              out.find("<Error> LogWriteToFile : Cannot Open /var/www/StatusLog.txt file.\n"));
    fs::create_directories(sandbox.path("/var/www"));
    EXPECT_EQ(0, LogPrint(2, 3, "kept\n"));
    EXPECT_NE(std::string::npos, sandbox.read(kCurrent).find("<ERR> kept\n"));
}

TEST_F(StatusLogTest, OneByteShortOfTheThresholdDoesNotRotate) {
    sandbox.write(kCurrent, std::string(131072 - 10, 'x'));
    EXPECT_EQ("", capture_stdout([] { LogWriteToFile("123456789"); }));
    EXPECT_EQ(131071u, current_size());
    EXPECT_FALSE(sandbox.exists(generation(1)));
}

TEST_F(StatusLogTest, FirstRotationFailsSixRenamesAndKeepsTheLastLine) {
    sandbox.write(kCurrent, std::string(131072 - 10, 'x'));
    const std::string out = capture_stdout([] { EXPECT_EQ(0, LogWriteToFile("1234567890")); });
    EXPECT_EQ(
        "<Debug> LogWriteToFile : rename(/var/www/StatusLog6.txt, /var/www/StatusLog7.txt)=-1\n"
        "<Debug> LogWriteToFile : rename(/var/www/StatusLog5.txt, /var/www/StatusLog6.txt)=-1\n"
        "<Debug> LogWriteToFile : rename(/var/www/StatusLog4.txt, /var/www/StatusLog5.txt)=-1\n"
        "<Debug> LogWriteToFile : rename(/var/www/StatusLog3.txt, /var/www/StatusLog4.txt)=-1\n"
        "<Debug> LogWriteToFile : rename(/var/www/StatusLog2.txt, /var/www/StatusLog3.txt)=-1\n"
        "<Debug> LogWriteToFile : rename(/var/www/StatusLog1.txt, /var/www/StatusLog2.txt)=-1\n"
        "<Debug> LogWriteToFile : rename(/var/www/StatusLog.txt, /var/www/StatusLog1.txt)=0\n",
        out);
    EXPECT_FALSE(sandbox.exists(kCurrent));
    const std::string rotated = sandbox.read(generation(1));
    EXPECT_EQ(131072u, rotated.size());
    EXPECT_EQ("1234567890", rotated.substr(rotated.size() - 10));
    for (int n = 2; n <= 7; ++n)
        EXPECT_FALSE(sandbox.exists(generation(n)));

    LogWriteToFile("after\n");
    EXPECT_EQ("after\n", sandbox.read(kCurrent));
}

TEST_F(StatusLogTest, SevenGenerationsAtMost) {
    for (int round = 1; round <= 9; ++round) {
        sandbox.write(kCurrent, std::string(131072 - 1, 'a' + round));
        capture_stdout([] { LogWriteToFile("!"); });
    }
    // Rounds 3 to 9 remain; the newest is generation 1.
    for (int n = 1; n <= 7; ++n)
        EXPECT_EQ(static_cast<char>('a' + 10 - n), sandbox.read(generation(n)).front()) << n;
    EXPECT_FALSE(sandbox.exists("/var/www/StatusLog8.txt"));
    EXPECT_FALSE(sandbox.exists(kCurrent));
}

TEST_F(StatusLogTest, DeleteArchiveEmptiesTheDirectoryOnly) {
    sandbox.write("/usr/kelvatro/log/old.txt", "a");
    sandbox.write("/usr/kelvatro/log/sub/deeper.txt", "b");
    sandbox.write(kCurrent, "kept\n");
    EXPECT_EQ(0, LogDeleteArchive());
    EXPECT_TRUE(fs::is_directory(sandbox.path("/usr/kelvatro/log")));
    EXPECT_TRUE(fs::is_empty(sandbox.path("/usr/kelvatro/log")));
    EXPECT_EQ("kept\n", sandbox.read(kCurrent));
    EXPECT_EQ((std::vector<std::string>{"rm -rf /usr/kelvatro/log/*", "sync"}), sandbox.journal());
}

} // namespace
