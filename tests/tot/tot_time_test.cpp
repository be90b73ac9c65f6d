// Date and time conversions of the TOT step: MJD, BCD, normalisation and the
// date command built from them.
#include "os/shell.h"
#include "sandbox.h"
#include "tot/ntp_server.h"
#include "tot/tot_state.h"

#include <gtest/gtest.h>

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// civil_from_days), independent of the Julian-day route under test.
TotDate civil_from_days(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2);
    return TotDate{int32_t(y), int32_t(m), int32_t(d)};
}

constexpr int64_t kMjdOfUnixEpoch = 40587;

TotDate date_of(uint32_t mjd) {
    TotDate date{-7, -7, -7};
    EXPECT_EQ(mjd_to_date(mjd, date), 0) << mjd;
    return date;
}

} // namespace

TEST(MjdToDate, KnownDates) {
    const TotDate d60000 = date_of(60000);
    EXPECT_EQ(d60000.year, 2023);
    EXPECT_EQ(d60000.month, 2);
    EXPECT_EQ(d60000.day, 25);
    const TotDate d51544 = date_of(51544);
    EXPECT_EQ(d51544.year, 2000);
    EXPECT_EQ(d51544.month, 1);
    EXPECT_EQ(d51544.day, 1);
    const TotDate epoch = date_of(kMjdOfUnixEpoch);
    EXPECT_EQ(epoch.year, 1970);
    EXPECT_EQ(epoch.month, 1);
    EXPECT_EQ(epoch.day, 1);
}

TEST(MjdToDate, ZeroFailsAndLeavesTheBuffer) {
    TotDate date{1, 2, 3};
    EXPECT_EQ(mjd_to_date(0, date), -1);
    EXPECT_EQ(date.year, 1);
    EXPECT_EQ(date.month, 2);
    EXPECT_EQ(date.day, 3);
}

// Every day from 1858-11-18 to about 2132, leap days and century years included.
TEST(MjdToDate, AgreesWithCivilCalendarOverARange) {
    for (uint32_t mjd = 1; mjd <= 100000; ++mjd) {
        const TotDate expected = civil_from_days(int64_t(mjd) - kMjdOfUnixEpoch);
        TotDate got{};
        ASSERT_EQ(mjd_to_date(mjd, got), 0);
        ASSERT_EQ(got.year, expected.year) << "MJD " << mjd;
        ASSERT_EQ(got.month, expected.month) << "MJD " << mjd;
        ASSERT_EQ(got.day, expected.day) << "MJD " << mjd;
    }
}

TEST(BcdToInt, TwoDigits) {
    EXPECT_EQ(bcd_to_int(0x00), 0);
    EXPECT_EQ(bcd_to_int(0x09), 9);
    EXPECT_EQ(bcd_to_int(0x10), 10);
    EXPECT_EQ(bcd_to_int(0x23), 23);
    EXPECT_EQ(bcd_to_int(0x59), 59);
    EXPECT_EQ(bcd_to_int(0x99), 99);
    // Digits above 9 are taken as they come.
    EXPECT_EQ(bcd_to_int(0x1A), 20);
    EXPECT_EQ(bcd_to_int(0xFF), 165);
}

class NormalizeTime : public ::testing::Test {
  protected:
    void SetUp() override { tot_state_reset(); }
};

TEST_F(NormalizeTime, PlainTimeBecomesIntegers) {
    TotDate date{2023, 2, 25};
    TotTime time{0, 0x12, 0x34, 0x56};
    tot_state.milliseconds = 5;
    tot_state.microseconds = 42;
    tot_normalize_time(date, time);
    EXPECT_EQ(date.year, 2023);
    EXPECT_EQ(date.month, 2);
    EXPECT_EQ(date.day, 25);
    EXPECT_EQ(time.hour, 12);
    EXPECT_EQ(time.minute, 34);
    EXPECT_EQ(time.second, 56);
    EXPECT_EQ(tot_state.milliseconds, 5);
    EXPECT_EQ(tot_state.microseconds, 42);
}

TEST_F(NormalizeTime, FullSecondOfMillisecondsCarriesOverMidnight) {
    TotDate date{};
    ASSERT_EQ(mjd_to_date(60000, date), 0);
    TotTime time{0, 0x23, 0x59, 0x59};
    tot_state.milliseconds = 1000;
    tot_state.microseconds = 0;
    tot_normalize_time(date, time);
    EXPECT_EQ(date.year, 2023);
    EXPECT_EQ(date.month, 2);
    EXPECT_EQ(date.day, 26);
    EXPECT_EQ(time.hour, 0);
    EXPECT_EQ(time.minute, 0);
    EXPECT_EQ(time.second, 0);
    EXPECT_EQ(tot_state.milliseconds, 0);
    EXPECT_EQ(tot_state.microseconds, 0);
}

TEST_F(NormalizeTime, CarryOverYearEndAndLargeCounts) {
    TotDate date{2023, 12, 31};
    TotTime time{0, 0x23, 0x59, 0x58};
    // Twelve-bit fields: 4095 ms and 4095 µs are 4.099095 s.
    tot_state.milliseconds = 4095;
    tot_state.microseconds = 4095;
    tot_normalize_time(date, time);
    EXPECT_EQ(date.year, 2024);
    EXPECT_EQ(date.month, 1);
    EXPECT_EQ(date.day, 1);
    EXPECT_EQ(time.hour, 0);
    EXPECT_EQ(time.minute, 0);
    EXPECT_EQ(time.second, 2);
    EXPECT_EQ(tot_state.milliseconds, 99);
    EXPECT_EQ(tot_state.microseconds, 95);
}

TEST_F(NormalizeTime, MicrosecondsAbove999MoveIntoMilliseconds) {
    TotDate date{2024, 2, 29};
    TotTime time{0, 0x00, 0x00, 0x00};
    tot_state.milliseconds = 7;
    tot_state.microseconds = 1500;
    tot_normalize_time(date, time);
    EXPECT_EQ(date.month, 2);
    EXPECT_EQ(date.day, 29);
    EXPECT_EQ(tot_state.milliseconds, 8);
    EXPECT_EQ(tot_state.microseconds, 500);
}

class DateCommand : public SandboxTest {
  protected:
    void SetUp() override { tot_state_reset(); }
};

TEST_F(DateCommand, MonthAndDayPlainFractionSixDigits) {
    tot_state.milliseconds = 5;
    tot_state.microseconds = 42;
    const std::string out = capture_stdout([] { set_system_time(2023, 2, 5, 7, 8, 9, 0); });
    EXPECT_EQ(out, "CMD > /bin/date -s \"2023/2/5 07:08:09.005042\"\n");
    const auto journal = sandbox.journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0], "/bin/date -s \"2023/2/5 07:08:09.005042\"");
}

TEST_F(DateCommand, AlignmentIsPrintedAsFpgaAdjust) {
    tot_state.milliseconds = 999;
    tot_state.microseconds = 999;
    const std::string out = capture_stdout([] { set_system_time(2023, 12, 31, 23, 59, 59, 1); });
    EXPECT_EQ(out, "FPGA time adjust > /bin/date -s \"2023/12/31 23:59:59.999999\"\n");
}

TEST_F(DateCommand, NormalisedFractionOf999ms999us) {
    TotDate date{2023, 2, 25};
    TotTime time{0, 0x10, 0x20, 0x30};
    tot_state.milliseconds = 999;
    tot_state.microseconds = 999;
    tot_normalize_time(date, time);
    set_system_time(date.year, date.month, date.day, time.hour, time.minute, time.second, 0);
    const auto journal = sandbox.journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0], "/bin/date -s \"2023/2/25 10:20:30.999999\"");
}
