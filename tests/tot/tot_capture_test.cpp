// The FPGA capture's date and time reads and their conversions (MJD, BCD, the carry of the
// sub-second count), any word the board could deliver put in a register table.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "os/clock.h"
#include "os/pace.h"
#include "sandbox.h"
#include "tot/tot_state.h"
#include "tot/tot_step.h"

#include <unistd.h>

namespace {

std::map<uint32_t, uint32_t> registers; // by 13-bit address; the reads only read
int64_t fake_clock_us = 0;

int table_exchange(uint8_t* frame, size_t) {
    const uint32_t value = registers[uint32_t(frame[0] & 0x1F) << 8 | frame[1]];
    for (int i = 0; i < 4; ++i)
        frame[2 + i] = uint8_t(value >> (24 - 8 * i));
    return 0;
}

constexpr SpiTransport kTable{"register-table", [] { return 0; }, table_exchange};

auto ymd(const TotDate& d) {
    return std::tuple(d.year, d.month, d.day);
}

} // namespace

// 0 and dates outside 2000 to 2179 refused; every other date word against the
// C library's calendar (MJD 40587 is 1970-01-01), the words below 51544
// (2000-01-01) being those of the next 16-bit cycle.
TEST(MjdToDate, SixteenBitCycleFrom2000To2179) {
    for (const uint32_t mjd : {0u, 117288u, 0xFFFFFFFFu}) {
        TotDate kept{1, 2, 3};
        EXPECT_EQ(mjd_to_date(mjd, kept), -1) << mjd;
        EXPECT_EQ(ymd(kept), std::tuple(1, 2, 3));
    }
    for (uint32_t mjd = 1; mjd < 117288; ++mjd) {
        TotDate got{};
        ASSERT_EQ(mjd_to_date(mjd, got), 0);
        const time_t day = (int64_t(mjd < 51544 ? mjd + 65536 : mjd) - 40587) * 86400;
        tm civil{};
        gmtime_r(&day, &civil);
        ASSERT_EQ(ymd(got), std::tuple(civil.tm_year + 1900, civil.tm_mon + 1, civil.tm_mday))
            << "MJD " << mjd;
    }
}

// BCD time and 12-bit fraction in; plain date, time and fraction out.
TEST(NormalizeTime, CarriesTheFractionIntoSecondsAcrossDaysAndYears) {
    const struct {
        TotDate date;
        TotTime time;
        int ms, us;
        std::tuple<int, int, int, int, int, int, int, int> want; // date, time, ms, µs
    } cases[] = {
        {{2023, 2, 25}, {0, 0x23, 0x59, 0x59}, 1000, 0, {2023, 2, 26, 0, 0, 0, 0, 0}},
        {{2023, 12, 31}, {0, 0x23, 0x59, 0x58}, 4095, 4095, {2024, 1, 1, 0, 0, 2, 99, 95}},
        {{2024, 2, 29}, {0, 0, 0, 0}, 7, 1500, {2024, 2, 29, 0, 0, 0, 8, 500}},
    };
    for (auto c : cases) {
        tot_capture.milliseconds = c.ms;
        tot_capture.microseconds = c.us;
        EXPECT_EQ(tot_normalize_time(c.date, c.time), 0);
        EXPECT_EQ(std::tuple(c.date.year, c.date.month, c.date.day, int(c.time.hour),
                             int(c.time.minute), int(c.time.second), tot_capture.milliseconds,
                             tot_capture.microseconds),
                  c.want);
    }
    clock_floor_set(1709164800); // 2024-02-29 00:00 UTC: the last case's time lies before it
    auto last = cases[2];
    EXPECT_EQ(tot_normalize_time(last.date, last.time), -1);
    clock_floor_set(kTestsClockFloor);
}

// Date word: the MJD; time word: BCD h, m, s under a zero top byte; sub-second
// word: ms and µs in 12-bit fields. No BCD time of day, or a 4 s old latch, refused.
TEST_F(SandboxTest, FpgaDateAndTimeWords) {
    registers.clear();
    tot_state_reset();
    spi_set_transport(&kTable);
    ASSERT_EQ(SpiOpen(), 0);
    TotDate date{};
    // A word of 0 is 2038-04-23 (MJD 65536) only on a fresh capture with a time
    // of day, and with the last take (or the clock) within a week of that day.
    const std::tuple<TotDate, bool, uint32_t, int> zero_words[] = {
        // last, fresh, word, result
        {{2038, 4, 22}, true, 0x00000005, 0},   {{2038, 4, 30}, true, 0x00235959, 0},
        {{2038, 4, 22}, false, 0x00000005, -1}, {{2038, 4, 22}, true, 0x14000000, -1},
        {{2038, 4, 22}, true, 0x00000060, -1},  {{2038, 3, 1}, true, 0x00000005, -1},
    };
    registers[0x0308] = 0;
    for (const auto& [last, fresh, time_word, result] : zero_words) {
        registers[0x0304] = time_word;
        tot_state.last_date = date = last;
        EXPECT_EQ(fpga_read_date(date, fresh), result) << last.day << " " << time_word;
        EXPECT_EQ(ymd(date), result == 0 ? std::tuple(2038, 4, 23) : ymd(last));
    }

    const std::tuple<uint32_t, uint32_t, int64_t> bad_reads[] = {
        // time, sub-second, latch age
        {0x14000000, 0x00050000, 0}, {0, 0x00050000, 0},       {0x00120000, 0, 0},
        {0x00240000, 1, 0},          {0x00236000, 1, 0},       {0x00235960, 1, 0},
        {0x001A0000, 1, 0},          {0x00235959, 1, 4000000},
    };
    for (const auto& [time_word, sub_second, latch_age_us] : bad_reads) {
        tot_state_reset(); // no word seen before: the latch is as old as given
        registers[0x0304] = time_word;
        registers[0x030C] = sub_second;
        TotTime time{1, 2, 3, 4};
        EXPECT_NE(fpga_read_time(time, pace_clock_us() - latch_age_us), 0) << std::hex << time_word;
        EXPECT_EQ(std::pair(time.hour, tot_capture.last_time_word), std::pair(uint8_t(2), ~0u));
    }
    tot_state_reset();
    registers[0x0304] = 0x00235959;
    registers[0x030C] = 0x03E70001 | 0xF000F000; // bits above the 12-bit fields are ignored
    TotTime time{};
    ASSERT_EQ(fpga_read_time(time, pace_clock_us() - 3900000), 0);
    EXPECT_EQ(std::tuple(time.extra, time.hour, time.minute, time.second),
              std::tuple(0x00, 0x23, 0x59, 0x59));
    EXPECT_EQ(std::pair(tot_capture.milliseconds, tot_capture.microseconds), std::pair(999, 1));

    // A word that the watch did not find was latched after the watch's read:
    // taken within 4 s of it, refused later.
    pace_set_clock([] { return fake_clock_us; });
    for (const auto& [after_us, result] : {std::pair{3900000, 0}, {4000000, -1}}) {
        tot_state_reset();
        fake_clock_us = 0;
        registers[0x0304] = 0x00101010;
        watch_time_word();
        registers[0x0304] = 0x00101011;
        fake_clock_us = after_us;
        EXPECT_EQ(fpga_read_time(time, kNever), result) << after_us;
    }
    pace_set_clock(nullptr);
}

// A sub-second read drawn out (here by 20 ms) tells its moment only to within
// half its length: the words are read again and the quicker read's count kept.
TEST_F(SandboxTest, ADrawnOutSubSecondReadIsMadeAgain) {
    static int sub_second_reads;
    static constexpr SpiTransport kSlowFirst{"slow-first", [] { return 0; },
                                             [](uint8_t* frame, size_t size) {
                                                 const int result = table_exchange(frame, size);
                                                 if ((frame[0] & 0x1F) == 0x03 &&
                                                     frame[1] == 0x0C && sub_second_reads++ == 0) {
                                                     usleep(20000);
                                                     registers[0x030C] = 0x00070001; // 7 ms 1 µs
                                                 }
                                                 return result;
                                             }};
    tot_state_reset();
    sub_second_reads = 0;
    registers[0x0304] = 0x00123456;
    registers[0x030C] = 0x01F40000; // 500 ms
    spi_set_transport(&kSlowFirst);
    ASSERT_EQ(SpiOpen(), 0);
    TotTime time{};
    const int64_t before_us = monotonic_us();
    ASSERT_EQ(fpga_read_time(time, pace_clock_us() - 1000000), 0);
    EXPECT_EQ(std::pair(tot_capture.milliseconds, tot_capture.microseconds), std::pair(7, 1));
    EXPECT_GE(tot_capture.sub_second_read_us, before_us + 20000);
}
