// The FPGA date and time reads against a register table, so that any word the
// board could deliver can be put in front of them.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "sandbox.h"
#include "tot/tot_state.h"

#include <gtest/gtest.h>
#include <map>

namespace {

std::map<uint32_t, uint32_t> registers; // by 13-bit address

int table_open() {
    return 0;
}

void table_exchange(uint8_t* frame, size_t length) {
    if (length != 6) return;
    const uint32_t address = uint32_t(frame[0] & 0x1F) << 8 | frame[1];
    if ((frame[0] & 0xE0) == 0x60) {
        registers[address] = uint32_t(frame[2]) << 24 | uint32_t(frame[3]) << 16 |
                             uint32_t(frame[4]) << 8 | frame[5];
        return;
    }
    const uint32_t value = registers[address];
    frame[2] = uint8_t(value >> 24);
    frame[3] = uint8_t(value >> 16);
    frame[4] = uint8_t(value >> 8);
    frame[5] = uint8_t(value);
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

} // namespace

TEST_F(FpgaTime, DateWordIsTheMjd) {
    TotDate date{};
    set(0xE308, 60000);
    EXPECT_EQ(fpga_read_date(date), 0);
    EXPECT_EQ(date.year, 2023);
    EXPECT_EQ(date.month, 2);
    EXPECT_EQ(date.day, 25);
    set(0xE308, 0);
    EXPECT_NE(fpga_read_date(date), 0);
}

TEST_F(FpgaTime, TimeWordAndSubSecondFields) {
    set(0xE304, 0x00235959);
    set(0xE30C, 0x03E703E7 | 0xF000F000); // bits above the 12-bit fields are ignored
    TotTime time{};
    ASSERT_EQ(fpga_read_time(time), 0);
    EXPECT_EQ(time.extra, 0x00);
    EXPECT_EQ(time.hour, 0x23);
    EXPECT_EQ(time.minute, 0x59);
    EXPECT_EQ(time.second, 0x59);
    EXPECT_EQ(tot_state.milliseconds, 999);
    EXPECT_EQ(tot_state.microseconds, 999);
    EXPECT_EQ(tot_state.last_time_word, 0x00235959u);
}

TEST_F(FpgaTime, NoTimeWords) {
    TotTime time{1, 2, 3, 4};
    set(0xE30C, 0x00050000);
    set(0xE304, 0x14000000);
    EXPECT_NE(fpga_read_time(time), 0);
    set(0xE304, 0);
    EXPECT_NE(fpga_read_time(time), 0);
    set(0xE304, 0x00120000);
    set(0xE30C, 0);
    EXPECT_NE(fpga_read_time(time), 0);
    EXPECT_EQ(time.hour, 2);
    EXPECT_EQ(tot_state.last_time_word, 0xFFFFFFFFu);
}

TEST_F(FpgaTime, RepeatedTimeWordFailsAndKeepsFraction) {
    set(0xE304, 0x00101010);
    set(0xE30C, 0x00010002);
    TotTime time{};
    ASSERT_EQ(fpga_read_time(time), 0);
    set(0xE30C, 0x00070008);
    TotTime again{9, 9, 9, 9};
    EXPECT_NE(fpga_read_time(again), 0);
    EXPECT_EQ(again.hour, 9);
    EXPECT_EQ(tot_state.milliseconds, 1);
    EXPECT_EQ(tot_state.microseconds, 2);
    // The alignment path shares the last word with the take path.
    set(0xE304, 0x00101011);
    EXPECT_EQ(fpga_read_time(tot_state.adjust_time), 0);
    EXPECT_EQ(tot_state.adjust_time.second, 0x11);
}

TEST_F(FpgaTime, SwitchCountAndIndication) {
    set(0xE204, 0x80);
    const uint32_t expected[] = {0x8900, 0x8900, 0x8900, 0x0A00, 0x0A00};
    for (int i = 0; i < 5; ++i) {
        check_end_switch();
        EXPECT_EQ(tot_state.indication_wanted, expected[i]) << "tick " << i + 1;
    }
    EXPECT_EQ(sandbox.journal(),
              (std::vector<std::string>{"echo END > /var/kelvatro/maincontrol",
                                        "echo END > /var/kelvatro/maincontrol"}));
    set(0xE204, 0x7F);
    check_end_switch();
    EXPECT_EQ(tot_state.switch_count, 0);
}
