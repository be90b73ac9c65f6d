// The FPGA date and time reads and their conversions: MJD, BCD, normalisation
// and the date command, with the registers in a table so that any word the
// board could deliver can be put in front of them.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "os/pace.h"
#include "sandbox.h"
#include "tot/tot_state.h"

#include <gtest/gtest.h>
#include <map>
#include <tuple>

namespace {

std::map<uint32_t, uint32_t> registers; // by 13-bit address

int table_open() {
    return 0;
}

int table_exchange(uint8_t* frame, size_t length) {
    if (length != 6) return -1;
    uint32_t& value = registers[uint32_t(frame[0] & 0x1F) << 8 | frame[1]];
    if ((frame[0] & 0xE0) == 0x60) {
        value = uint32_t(frame[2]) << 24 | uint32_t(frame[3]) << 16 | uint32_t(frame[4]) << 8 |
                frame[5];
        return 0;
    }
    for (int i = 0; i < 4; ++i)
        frame[2 + i] = uint8_t(value >> (24 - 8 * i));
    return 0;
}

constexpr SpiTransport kTable{"register-table", table_open, table_exchange};

class FpgaTime : public SandboxTest {
  protected:
    void SetUp() override {
        registers.clear();
        tot_state_reset();
        spi_set_transport(&kTable);
        ASSERT_EQ(SpiOpen(), 0);
    }
    static void set(uint32_t reg, uint32_t value) { registers[reg & 0x1FFF] = value; }
};

auto ymd(const TotDate& d) {
    return std::tuple(d.year, d.month, d.day);
}

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
    return TotDate{int32_t(yoe + era * 400 + (m <= 2)), int32_t(m), int32_t(d)};
}

} // namespace

// Known dates; 0 and dates outside 2000 to 2179 refused; every date word that
// gives a date against the civil calendar (MJD 40587 is 1970-01-01), the words
// below 51544 (2000-01-01) being those of the next 16-bit cycle.
TEST(MjdToDate, SixteenBitCycleFrom2000To2179) {
    const std::pair<uint32_t, std::tuple<int, int, int>> known[] = {
        {60000, {2023, 2, 25}}, {51544, {2000, 1, 1}}, {65535, {2038, 4, 22}}, {1, {2038, 4, 24}}};
    TotDate got{};
    for (const auto& [mjd, date] : known) {
        ASSERT_EQ(mjd_to_date(mjd, got), 0);
        EXPECT_EQ(ymd(got), date) << mjd;
    }
    for (const uint32_t mjd : {0u, 117288u, 0xFFFFFFFFu}) {
        TotDate kept{1, 2, 3};
        EXPECT_EQ(mjd_to_date(mjd, kept), -1) << mjd;
        EXPECT_EQ(ymd(kept), std::tuple(1, 2, 3));
    }
    for (uint32_t mjd = 1; mjd < 117288; ++mjd) {
        ASSERT_EQ(mjd_to_date(mjd, got), 0);
        const int64_t full = mjd < 51544 ? mjd + 65536 : mjd;
        ASSERT_EQ(ymd(got), ymd(civil_from_days(full - 40587))) << "MJD " << mjd;
    }
}

TEST(BcdToInt, TwoDigitsAndDigitsAboveNineAsTheyCome) {
    const std::pair<uint8_t, int> cases[] = {{0x00, 0},  {0x09, 9},  {0x10, 10}, {0x23, 23},
                                             {0x59, 59}, {0x99, 99}, {0x1A, 20}, {0xFF, 165}};
    for (const auto& [bcd, value] : cases)
        EXPECT_EQ(bcd_to_int(bcd), value) << int(bcd);
}

// BCD time and 12-bit fraction in; plain date, time and fraction out.
TEST(NormalizeTime, CarriesTheFractionIntoSecondsAcrossDaysAndYears) {
    const struct {
        TotDate date;
        TotTime time;
        int ms, us;
        std::tuple<int, int, int, int, int, int, int, int> want; // date, time, ms, µs
    } cases[] = {
        {{2023, 2, 25}, {0, 0x12, 0x34, 0x56}, 5, 42, {2023, 2, 25, 12, 34, 56, 5, 42}},
        {{2023, 2, 25}, {0, 0x23, 0x59, 0x59}, 1000, 0, {2023, 2, 26, 0, 0, 0, 0, 0}},
        {{2023, 12, 31}, {0, 0x23, 0x59, 0x58}, 4095, 4095, {2024, 1, 1, 0, 0, 2, 99, 95}},
        {{2024, 2, 29}, {0, 0, 0, 0}, 7, 1500, {2024, 2, 29, 0, 0, 0, 8, 500}},
    };
    for (auto c : cases) {
        tot_state.milliseconds = c.ms;
        tot_state.microseconds = c.us;
        EXPECT_EQ(tot_normalize_time(c.date, c.time), 0);
        EXPECT_EQ(std::tuple(c.date.year, c.date.month, c.date.day, int(c.time.hour),
                             int(c.time.minute), int(c.time.second), tot_state.milliseconds,
                             tot_state.microseconds),
                  c.want);
    }
}

// The date word is the MJD; the time word carries BCD hour, minute and second
// under a zero top byte, the sub-second word two 12-bit fields. No time, words
// that are no BCD time of day, and a latch that may be 4 s old are refused.
TEST_F(FpgaTime, DateAndTimeWords) {
    TotDate date{};
    set(0xE308, 60000);
    EXPECT_EQ(fpga_read_date(date), 0);
    EXPECT_EQ(ymd(date), std::tuple(2023, 2, 25));
    for (const uint32_t mjd : {0u, 0xFFFFFFFFu}) {
        set(0xE308, mjd);
        EXPECT_NE(fpga_read_date(date), 0) << mjd;
    }

    const struct {
        uint32_t time_word, sub_second;
        int64_t latch_age_us;
    } bad_reads[] = {
        {0x14000000, 0x00050000, 0}, {0, 0x00050000, 0}, {0x00120000, 0, 0},
        {0x00240000, 1, 0},          {0x00236000, 1, 0}, {0x00235960, 1, 0},
        {0x001A0000, 1, 0},          {0x0012005A, 1, 0}, {0xFFFFFFFF, 0xFFFFFFFF, 0},
        {0x00235959, 1, 4000000},
    };
    for (const auto& r : bad_reads) {
        set(0xE304, r.time_word);
        set(0xE30C, r.sub_second);
        TotTime time{1, 2, 3, 4};
        EXPECT_NE(fpga_read_time(time, pace_clock_us() - r.latch_age_us), 0)
            << std::hex << r.time_word;
        EXPECT_EQ(time.hour, 2);
        EXPECT_EQ(tot_state.last_time_word, 0xFFFFFFFFu);
    }
    set(0xE304, 0x00235959);
    set(0xE30C, 0x03E703E7 | 0xF000F000); // bits above the 12-bit fields are ignored
    TotTime time{};
    ASSERT_EQ(fpga_read_time(time, pace_clock_us() - 3900000), 0);
    EXPECT_EQ(std::tuple(time.extra, time.hour, time.minute, time.second),
              std::tuple(0x00, 0x23, 0x59, 0x59));
    EXPECT_EQ(std::pair(tot_state.milliseconds, tot_state.microseconds), std::pair(999, 999));
}
