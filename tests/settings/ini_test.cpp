// INI reading: line splitting, value conversion and the reading loop's
// section rule.
#include "sandbox.h"
#include "settings/ini.h"

namespace {

using KeyValue = std::pair<std::string, std::string>;

// Lines that the fuzz target's invariants leave open (no key leaves both
// empty, no comment, '=', tab or line end in either: its seeds hold those).
TEST(IniSplitLine, KeyAndValueCases) {
    const std::tuple<std::string, KeyValue> cases[] = {
        {"\t; comment\r\n", {"", ""}},
        {"UnitName=VID UVIVEV\t; name\r\n", {"UnitName", "VID UVIVEV"}},
        {"Key", {"Key", ""}},
        {"Key = Value ", {"Key", "Value "}},
        {"[TOT]  \r\n", {"[TOT]", ""}},
        {"  = x", {"", ""}},
        {"Key= ;x", {"Key", ""}},
        {"Key=\t; note", {"Key", ""}},
        {"Key=12 ; note\n", {"Key", "12 ; note"}},
        {std::string(300, 'k') + "=" + std::string(200, 'v'),
         {std::string(127, 'k'), std::string(127, 'v')}},
    };
    for (auto [line, expected] : cases) {
        char key[kIniFieldSize] = "junk";
        char value[kIniFieldSize] = "junk";
        IniSplitLine(line.data(), key, value);
        EXPECT_EQ(expected, KeyValue(key, value)) << line;
    }
}

std::vector<int> fields(const DateTime& dt) {
    return {dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second};
}

TEST(IniParse, NumbersDatesTimesAndAddresses) {
    EXPECT_EQ(31u, IniParseNumber("0x1F", 16));
    EXPECT_EQ(3600u, IniParseNumber("  +3600x ; note", 10));

    // Fields are stored until the text runs out.
    for (const char* text : {"2024/01/05", "2024 1,5\r\n"}) {
        DateTime dt{};
        EXPECT_TRUE(IniParseDate(text, dt)) << text;
        EXPECT_EQ((std::vector<int>{2024, 1, 5, 0, 0, 0}), fields(dt)) << text;
    }
    DateTime dt{1999, 9, 9, 3, 0, 0};
    EXPECT_TRUE(IniParseDate("2024/13/40", dt));
    EXPECT_FALSE(IniParseDate("2025/02", dt));
    EXPECT_FALSE(IniParseTime("12:30", dt));
    EXPECT_EQ((std::vector<int>{2025, 2, 40, 12, 30, 0}), fields(dt));
    EXPECT_TRUE(IniParseTime("09-07-03", dt));
    EXPECT_EQ((std::vector<int>{2025, 2, 40, 9, 7, 3}), fields(dt));
}

TEST_F(SandboxTest, IniReadFileKeysCountOnlyAfterTheHeaderAndTheFlagStays) {
    const auto read = [this](const std::string& content) {
        sandbox.write("/var/kelvatro/conf/t.ini", content);
        std::vector<KeyValue> seen;
        EXPECT_EQ(0,
                  IniReadFile("/var/kelvatro/conf/t.ini", "[Sec]",
                              [&seen](const char* k, const char* v) { seen.emplace_back(k, v); }));
        return seen;
    };
    EXPECT_EQ(
        (std::vector<KeyValue>{{"A", "2"}, {"[Other]", ""}, {"B", "3"}, {"[Sec]", ""}, {"C", "4"}}),
        read(";;;\nA=1\n[Sec]\t; c\nA=2\n[Other]\nB=3\n[Sec]\nC=4\n"));
    EXPECT_EQ(std::vector<KeyValue>{}, read("[Sec] ; c\nA=1\n"));
    // A BOM before the header; a last line without its line end is taken
    // when its value is one its key takes (here any but an empty one).
    EXPECT_EQ((std::vector<KeyValue>{{"A", "1"}}), read("\xEF\xBB\xBF[Sec]\nA=1\nB="));
    EXPECT_EQ((std::vector<KeyValue>{{"B", "2"}}), read("[Sec] \nB = 2"));
    EXPECT_EQ(-1, IniReadFile("/var/kelvatro/conf/none.ini", "[Sec]",
                              [](const char*, const char*) { FAIL(); }));
    // A line is read whole: a long comment is never read as keys; a line
    // longer than the limit is skipped whole.
    std::string kana;
    for (int i = 0; i < 100; ++i)
        kana += "あ";
    EXPECT_EQ((std::vector<KeyValue>{{"A", "1"}, {"B", "2"}, {"D", "4"}}),
              read("[Sec]\nA=1\t; " + std::string(240, 'a') + "Y=5\nB=2\t; x" + kana +
                   "\nC=" + std::string(kIniLineLimit - 1, 'c') + "Z=6\nD=4\n"));
}

} // namespace
