// The IIC bridge on the register device, against a recording device.
#include "board/fpga_device.h"
#include "board/iic_bridge.h"
#include "board/reg_device.h"
#include "sandbox.h"

#include <cstdio>
#include <deque>
#include <numeric>

namespace {

constexpr uint32_t kRegs[4] = {0x1000, 0x1004, 0x1008, 0x1200};

// Accesses logged as "w 1004 FFFFFFFF"; status reads take the scripted values in
// turn (0 when none are left), other reads 0.
struct Recorder {
    Lines log;
    std::deque<uint32_t> status;
    uint32_t selected = 0;
    bool status_read_fails = false;

    void record(char kind, uint32_t value) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%c %04X %08X", kind, selected, value);
        log.push_back(entry);
    }
} rec;

int rec_ioctl(int, unsigned long request, uint32_t* address) {
    EXPECT_EQ(request, 0xC004E003ul);
    rec.selected = *address;
    return 0;
}
ssize_t rec_read(int, void* buf, size_t length) {
    EXPECT_EQ(length, 4u);
    if (rec.selected == kRegs[1] && rec.status_read_fails) return -1;
    const bool scripted = rec.selected == kRegs[1] && !rec.status.empty();
    const uint32_t value = scripted ? rec.status.front() : 0;
    if (scripted) rec.status.pop_front();
    rec.record('r', value);
    std::memcpy(buf, &value, 4);
    return 4;
}
ssize_t rec_write(int, const void* buf, size_t length) {
    EXPECT_EQ(length, 4u);
    uint32_t value;
    std::memcpy(&value, buf, 4);
    rec.record('w', value);
    return 4;
}

const RegDeviceOps kRecorder{[](const char*) { return 7; }, [](int) { return 0; }, rec_ioctl,
                             rec_read, rec_write};

int open_quietly(uint8_t port, uint8_t slave, const uint32_t* regs = kRegs) {
    int channel = -1;
    capture_stdout([&] { channel = Zentu_IIC_Open(regs, port, slave, 100); });
    return channel;
}

// The recording device, open, with channel 0 on port 0, slave 0x50.
class IicBridge : public ::testing::Test {
  protected:
    void SetUp() override {
        reg_device_set_ops(&kRecorder);
        ASSERT_EQ(FpgaOpen(), 0);
        ASSERT_EQ(open_quietly(0, 0x50), 0);
        rec = Recorder{};
    }
    void TearDown() override {
        for (int ch = 0; ch < 6; ++ch)
            Zentu_IIC_Close(ch);
        FpgaClose();
        reg_device_set_ops(nullptr);
    }
    const int channel = 0;
};

// Six channels at most; a closed channel is reused.
TEST_F(IicBridge, OpenSetsUpTheClockOnAFreeChannel) {
    const uint32_t regs[4] = {0x2000, 0x2004, 0x2008, 0x2200};
    EXPECT_EQ(open_quietly(0x0A, 0x51, regs), 1);
    EXPECT_EQ(rec.log, (Lines{"w 2004 FFFFFFFF", "w 2008 000110A2", "r 2008 00000000"}));
    for (int i = 2; i < 6; ++i)
        EXPECT_EQ(open_quietly(uint8_t(i), 0x50), i);
    EXPECT_EQ(open_quietly(0, 0x51), -1);
    EXPECT_EQ(Zentu_IIC_Close(3), 0);
    EXPECT_EQ(Zentu_IIC_Close(3), -1);
    EXPECT_EQ(open_quietly(0, 0x51), 3);
}

// Each sixteen bytes a transaction: the image, the 0xFF filling, the command,
// the status read and cleared (their meaning: CommandTest.RegAndIicWriteAndReadBack).
TEST_F(IicBridge, WritesBuildTheImageAndCommandOfEachSixteenBytes) {
    std::vector<uint8_t> data(40);
    std::iota(data.begin(), data.end(), 0);
    rec.status = {1, 1, 1};
    EXPECT_EQ(Zentu_IIC_Write(channel, data.data(), 40), 0);
    ASSERT_EQ(rec.log.size(), 27u); // nine accesses a transaction
    EXPECT_EQ(rec.log[0] + ", " + rec.log[9], "w 1200 0F50FDFE, w 1200 0F50FDFE");
    // The last transaction carries bytes 32..39, then the 0xFF filling.
    EXPECT_EQ(std::vector(rec.log.begin() + 18, rec.log.end()),
              (Lines{"w 1200 0750FDFE", "w 1204 23222120", "w 1208 27262524", "w 120C FFFFFFFF",
                     "w 1210 FFFFFFFF", "w 1214 FFFFFFFF", "w 1000 18080050", "r 1004 00000001",
                     "w 1004 FFFFFFFF"}));
    rec = Recorder{};
    EXPECT_EQ(Zentu_IIC_Write(channel, data.data(), 0), 0);
    EXPECT_TRUE(rec.log.empty());
}

TEST_F(IicBridge, CompletionResults) {
    const std::pair<std::deque<uint32_t>, int> cases[] = {
        {{0x7}, 0},     {{0, 0, 0x2}, -3},      {{0x6}, -3},
        {{0, 0x4}, -4}, {{0, 0, 0, 0, 0x1}, 0}, {{0, 0, 0, 0, 0, 0x1}, -2},
    };
    for (const auto& [status, result] : cases) {
        rec = Recorder{};
        rec.status = status;
        capture_stdout([&] { EXPECT_EQ(Zentu_IIC_WaitComp(channel), result); });
        EXPECT_EQ(rec.log.size(), std::min<size_t>(status.size(), 5) + 1); // reads, the clear
        EXPECT_EQ(rec.log.back(), "w 1004 FFFFFFFF");
    }
    // A failed status read counts as no bit set.
    rec.status_read_fails = true;
    capture_stdout([&] { EXPECT_EQ(Zentu_IIC_WaitComp(channel), -2); });
    EXPECT_EQ(Zentu_IIC_WaitComp(6), -1);
}

TEST_F(IicBridge, WriteReadChecksBeforeTouchingTheBus) {
    uint8_t wbuf[17] = {}, rbuf[17] = {};
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 1, rbuf, 0), 0);
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 1, rbuf, 17), 17);
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 17, rbuf, 1), 17);
    for (int closed : {1, 6, -1})
        EXPECT_EQ(Zentu_IIC_WriteRead(closed, wbuf, 1, rbuf, 1), -1) << closed;
    EXPECT_EQ(Zentu_IIC_Write(6, wbuf, 1), -1);
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 0, rbuf, 1), -5);
    EXPECT_TRUE(rec.log.empty());
}

} // namespace
