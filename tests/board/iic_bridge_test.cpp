// The register device and the IIC bridge against a recording device: open and
// close results, request images and words, transaction splitting, completion
// results. Then end to end through the simulated board.
#include "board/fpga_device.h"
#include "board/iic_bridge.h"
#include "board/reg_device.h"
#include "reg_device.h"

#include "sandbox.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <vector>

namespace {

constexpr uint32_t kRegs[4] = {0x1000, 0x1004, 0x1008, 0x1200};
constexpr int kFakeFd = 7;

struct Access {
    char kind; // 'r' or 'w'
    uint32_t address;
    uint32_t value;
    bool operator==(const Access&) const = default;
};

// A recording device: writes and reads are logged; reads of the status
// register take the scripted values in turn (0 when the script is empty),
// other reads come from the memory map.
struct Recorder {
    std::vector<Access> log;
    std::deque<uint32_t> status;
    std::map<uint32_t, uint32_t> memory;
    uint32_t selected = 0;
    bool status_read_fails = false;
    bool is_open = false;
} rec;

int rec_open(const char*) {
    rec.is_open = true;
    return kFakeFd;
}
int rec_close(int fd) {
    if (fd != kFakeFd) {
        errno = EBADF;
        return -1;
    }
    rec.is_open = false;
    return 0;
}
int rec_ioctl(int, unsigned long request, uint32_t* address) {
    EXPECT_EQ(request, 0xC004E003ul);
    rec.selected = *address;
    return 0;
}
ssize_t rec_read(int, void* buf, size_t length) {
    EXPECT_EQ(length, 4u);
    uint32_t value = rec.memory[rec.selected];
    if (rec.selected == kRegs[1]) {
        if (rec.status_read_fails) return -1;
        value = 0;
        if (!rec.status.empty()) {
            value = rec.status.front();
            rec.status.pop_front();
        }
    }
    rec.log.push_back({'r', rec.selected, value});
    std::memcpy(buf, &value, 4);
    return 4;
}
ssize_t rec_write(int, const void* buf, size_t length) {
    EXPECT_EQ(length, 4u);
    uint32_t value;
    std::memcpy(&value, buf, 4);
    rec.log.push_back({'w', rec.selected, value});
    return 4;
}

const RegDeviceOps kRecorder{rec_open, rec_close, rec_ioctl, rec_read, rec_write};

std::vector<Access> writes_to(uint32_t address) {
    std::vector<Access> found;
    for (const Access& a : rec.log)
        if (a.kind == 'w' && a.address == address) found.push_back(a);
    return found;
}

class IicBridge : public ::testing::Test {
  protected:
    void SetUp() override {
        rec = Recorder{};
        reg_device_set_ops(&kRecorder);
        ASSERT_EQ(FpgaOpen(), 0);
        testing::internal::CaptureStdout();
        channel = Zentu_IIC_Open(kRegs, 0, 0x50, 100);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(channel, 0);
        rec.log.clear();
    }
    void TearDown() override {
        for (int ch = 0; ch < 6; ++ch)
            Zentu_IIC_Close(ch);
        FpgaClose();
        reg_device_set_ops(nullptr);
    }
    int channel = -1;
};

TEST(IicOpen, SetsUpTheClockAndPrintsTheChannel) {
    rec = Recorder{};
    reg_device_set_ops(&kRecorder);
    ASSERT_EQ(FpgaOpen(), 0);
    const uint32_t regs[4] = {0x1000, 0x1004, 0x1008, 0x1200};
    int channel = -1;
    const std::string out = capture_stdout([&] { channel = Zentu_IIC_Open(regs, 0, 0x50, 100); });
    EXPECT_EQ(channel, 0);
    EXPECT_EQ(out, "<Debug> Zentu_IIC_Open() : fd        = 0\n"
                   "<Debug> Zentu_IIC_Open() : bit rate  = 100kHz\n"
                   "<Debug> Zentu_IIC_Open() : enable    = 1\n"
                   "<Debug> Zentu_IIC_Open() : port_no   = 0x00\n"
                   "<Debug> Zentu_IIC_Open() : slave_no  = 0x50\n"
                   "<Debug> Zentu_IIC_Open() : cmd  addr = 0x00001000\n"
                   "<Debug> Zentu_IIC_Open() : stat addr = 0x00001004\n"
                   "<Debug> Zentu_IIC_Open() : cntl addr = 0x00001008\n"
                   "<Debug> Zentu_IIC_Open() : data addr = 0x00001200\n");
    const std::vector<Access> expected{
        {'w', 0x1004, 0xFFFFFFFF}, {'w', 0x1008, 0x110A2}, {'r', 0x1008, 0}};
    EXPECT_EQ(rec.log, expected);
    EXPECT_EQ(Zentu_IIC_Close(channel), 0);
    EXPECT_EQ(Zentu_IIC_Close(channel), -1);
    FpgaClose();
    reg_device_set_ops(nullptr);
}

TEST(IicOpen, SeventhOpenFailsSilently) {
    reg_device_set_ops(&kRecorder);
    int opened[6];
    testing::internal::CaptureStdout();
    for (int i = 0; i < 6; ++i)
        opened[i] = Zentu_IIC_Open(kRegs, uint8_t(i), 0x50, 400);
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(opened[i], i);
    int seventh = 0;
    const std::string out = capture_stdout([&] { seventh = Zentu_IIC_Open(kRegs, 0, 0x51, 100); });
    EXPECT_EQ(seventh, -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Zentu_IIC_Close(3), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Zentu_IIC_Open(kRegs, 0, 0x51, 100), 3);
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(Zentu_IIC_Close(i), 0);
    reg_device_set_ops(nullptr);
}

TEST_F(IicBridge, WriteOfThreeBytesBuildsTheImageAndCommand) {
    rec.status = {0x1};
    const uint8_t data[] = {0x10, 0x20, 0x30};
    EXPECT_EQ(Zentu_IIC_Write(channel, data, 3), 0);
    const std::vector<Access> expected{
        {'w', 0x1200, 0x0250FDFE}, {'w', 0x1204, 0xFF302010}, {'w', 0x1208, 0xFFFFFFFF},
        {'w', 0x120C, 0xFFFFFFFF}, {'w', 0x1210, 0xFFFFFFFF}, {'w', 0x1214, 0xFFFFFFFF},
        {'w', 0x1000, 0x18080050}, {'r', 0x1004, 0x1},        {'w', 0x1004, 0xFFFFFFFF}};
    EXPECT_EQ(rec.log, expected);
}

TEST_F(IicBridge, LongWritesGoInSixteenByteTransactions) {
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i);
    rec.status = {1, 1, 1};
    EXPECT_EQ(Zentu_IIC_Write(channel, data.data(), 40), 0);
    const std::vector<Access> heads = writes_to(0x1200);
    ASSERT_EQ(heads.size(), 3u);
    EXPECT_EQ(heads[0].value, 0x0F50FDFEu);
    EXPECT_EQ(heads[1].value, 0x0F50FDFEu);
    EXPECT_EQ(heads[2].value, 0x0750FDFEu);
    EXPECT_EQ(writes_to(0x1000).size(), 3u);
    // The third transaction carries bytes 32..39, then the 0xFF filling.
    const std::vector<Access> second_words = writes_to(0x1204);
    EXPECT_EQ(second_words[2].value, 0x23222120u);
    EXPECT_EQ(writes_to(0x1208)[2].value, 0x27262524u);
    EXPECT_EQ(writes_to(0x120C)[2].value, 0xFFFFFFFFu);

    rec.log.clear();
    rec.status = {1, 1};
    EXPECT_EQ(Zentu_IIC_Write(channel, data.data(), 32), 0);
    EXPECT_EQ(writes_to(0x1000).size(), 2u);

    rec.log.clear();
    EXPECT_EQ(Zentu_IIC_Write(channel, data.data(), 0), 0);
    EXPECT_TRUE(rec.log.empty());
}

TEST_F(IicBridge, WriteStopsAtTheFirstFailedTransaction) {
    std::vector<uint8_t> data(40, 0xAA);
    rec.status = {0x2};
    testing::internal::CaptureStdout();
    EXPECT_EQ(Zentu_IIC_Write(channel, data.data(), 40), -3);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(writes_to(0x1000).size(), 1u);
}

TEST_F(IicBridge, CompletionResults) {
    struct Case {
        std::deque<uint32_t> status;
        int result;
        const char* printed;
    };
    const Case cases[] = {
        {{0x1}, 0, ""},
        {{0x7}, 0, ""},
        {{0, 0, 0x2}, -3, "<Error> Zentu_IIC_WaitComp(): cnt=[2] ret=[-3]\n"},
        {{0x6}, -3, "<Error> Zentu_IIC_WaitComp(): cnt=[0] ret=[-3]\n"},
        {{0, 0x4}, -4, "<Error> Zentu_IIC_WaitComp(): cnt=[1] ret=[-4]\n"},
        {{0, 0, 0, 0, 0x1}, 0, ""},
        {{0, 0, 0, 0, 0, 0x1}, -2, "<Error> Zentu_IIC_WaitComp(): cnt=[5] ret=[-2]\n"},
    };
    for (const Case& c : cases) {
        rec.log.clear();
        rec.status = c.status;
        int result = 99;
        const std::string out = capture_stdout([&] { result = Zentu_IIC_WaitComp(channel); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(out, c.printed);
        ASSERT_FALSE(rec.log.empty());
        EXPECT_EQ(rec.log.back(), (Access{'w', 0x1004, 0xFFFFFFFF}));
    }
    EXPECT_EQ(Zentu_IIC_WaitComp(6), -1);
}

TEST_F(IicBridge, FailedStatusReadsCountAsNoBitSet) {
    rec.status_read_fails = true;
    int result = 0;
    const std::string out = capture_stdout([&] { result = Zentu_IIC_WaitComp(channel); });
    EXPECT_EQ(result, -2);
    EXPECT_EQ(out, "<Error> Zentu_IIC_WaitComp(): cnt=[5] ret=[-2]\n");
}

TEST_F(IicBridge, WriteReadSendsBothImagesAndUnpacksTheData) {
    rec.status = {1, 1};
    rec.memory[0x1220] = 0x44332211;
    rec.memory[0x1224] = 0x88776655;
    const uint8_t reg = 0x10;
    uint8_t buf[8] = {};
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, &reg, 1, buf, 5), 0);
    const std::vector<Access> heads = writes_to(0x1200);
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0].value, 0x0050FDFEu);
    EXPECT_EQ(heads[1].value, 0x1450FDFEu);
    EXPECT_EQ(writes_to(0x1204)[1].value, 0xFFFFFFFFu);
    EXPECT_EQ(writes_to(0x1208).size(), 1u); // the read image is two words
    const uint8_t expected[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0, 0, 0};
    EXPECT_EQ(std::memcmp(buf, expected, 8), 0);
}

TEST_F(IicBridge, WriteReadChecksBeforeTouchingTheBus) {
    uint8_t wbuf[17] = {};
    uint8_t rbuf[17] = {};
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 1, rbuf, 0), 0);
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 1, rbuf, 17), 17);
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 17, rbuf, 1), 17);
    EXPECT_EQ(Zentu_IIC_WriteRead(channel + 1, wbuf, 1, rbuf, 1), -1);
    EXPECT_EQ(Zentu_IIC_WriteRead(6, wbuf, 1, rbuf, 1), -1);
    EXPECT_EQ(Zentu_IIC_WriteRead(-1, wbuf, 1, rbuf, 1), -1);
    EXPECT_EQ(Zentu_IIC_Write(6, wbuf, 1), -1);
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, wbuf, 0, rbuf, 1), -5);
    EXPECT_TRUE(rec.log.empty());
}

TEST_F(IicBridge, ReadIsSkippedWhenTheWriteFails) {
    rec.status = {0x4};
    uint8_t reg = 0, buf[2] = {0xEE, 0xEE};
    testing::internal::CaptureStdout();
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, &reg, 1, buf, 2), -4);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(writes_to(0x1000).size(), 1u);
    EXPECT_EQ(buf[0], 0xEE);
}

class RegDevice : public ::testing::Test {
  protected:
    void TearDown() override {
        testing::internal::CaptureStderr();
        FpgaClose();
        testing::internal::GetCapturedStderr();
        reg_device_set_ops(nullptr);
    }
};

TEST_F(RegDevice, SecondOpenReportsAlreadyOpen) {
    reg_device_set_ops(sim_reg_device_ops());
    ASSERT_EQ(FpgaOpen(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(FpgaOpen(), -2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("FpgaOpen(): allready opened.\n: ", 0), 0u) << err;
    EXPECT_EQ(FpgaWrite32(0x64007000, 0xC000), 4); // still open
}

TEST_F(RegDevice, CloseOfANeverOpenedDeviceFails) {
    reg_device_set_ops(sim_reg_device_ops());
    testing::internal::CaptureStderr();
    EXPECT_EQ(FpgaClose(), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "FpgaClose(): can't close.\n: " + std::string(std::strerror(EBADF)) + "\n");
}

TEST_F(RegDevice, AccessWhileClosedLeavesTheResultAlone) {
    reg_device_set_ops(sim_reg_device_ops());
    uint32_t value = 0x1234;
    testing::internal::CaptureStderr();
    EXPECT_EQ(FpgaRead32(0x1000, &value), -1);
    EXPECT_EQ(FpgaWrite32(0x1000, 1), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("FpgaRead32(): not open.\n: "), std::string::npos) << err;
    EXPECT_NE(err.find("FpgaWrite32(): not open.\n: "), std::string::npos) << err;
    EXPECT_EQ(value, 0x1234u);
}

TEST_F(RegDevice, TermClosesTheDevice) {
    reg_device_set_ops(sim_reg_device_ops());
    ASSERT_EQ(FpgaOpen(), 0);
    EXPECT_EQ(fpga_device_term(), 0);
    EXPECT_EQ(FpgaOpen(), 0);
}

TEST_F(RegDevice, SimulatedBoardEndToEnd) {
    reg_device_set_ops(sim_reg_device_ops());
    ASSERT_EQ(FpgaOpen(), 0);
    uint32_t value = 0;
    EXPECT_EQ(FpgaWrite32(0x64007000, 0xC000), 4);
    EXPECT_EQ(FpgaRead32(0x64007000, &value), 4);
    EXPECT_EQ(value, 0xC000u);

    testing::internal::CaptureStdout();
    const int channel = Zentu_IIC_Open(kRegs, 0, 0x50, 100);
    const int stranger = Zentu_IIC_Open(kRegs, 0, 0x51, 100);
    const int far_port = Zentu_IIC_Open(kRegs, 1, 0x50, 100);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(FpgaRead32(0x1008, &value), 4);
    EXPECT_EQ(value, 0x110A2u);

    const uint8_t write[] = {0x10, 0xAA, 0xBB};
    EXPECT_EQ(Zentu_IIC_Write(channel, write, 3), 0);
    const uint8_t reg = 0x10;
    uint8_t read[2] = {};
    EXPECT_EQ(Zentu_IIC_WriteRead(channel, &reg, 1, read, 2), 0);
    EXPECT_EQ(read[0], 0xAA);
    EXPECT_EQ(read[1], 0xBB);
    EXPECT_EQ(FpgaRead32(0x1004, &value), 4);
    EXPECT_EQ(value, 0u); // the wait cleared the status

    std::string out = capture_stdout([&] { EXPECT_EQ(Zentu_IIC_Write(stranger, write, 3), -3); });
    EXPECT_EQ(out, "<Error> Zentu_IIC_WaitComp(): cnt=[0] ret=[-3]\n");
    out = capture_stdout([&] { EXPECT_EQ(Zentu_IIC_Write(far_port, write, 3), -3); });
    EXPECT_EQ(out, "<Error> Zentu_IIC_WaitComp(): cnt=[0] ret=[-3]\n");

    for (int ch : {channel, stranger, far_port})
        EXPECT_EQ(Zentu_IIC_Close(ch), 0);
}

} // namespace
