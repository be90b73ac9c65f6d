// Register access over SPI against a recording bus: frame bytes, the result
// word, and the readback attempts.
#include "board/spi_regs.h"
#include "board/spi_transport.h"

#include "sandbox.h"

#include <array>
#include <gtest/gtest.h>
#include <vector>

namespace {

using Frame = std::array<uint8_t, 6>;

std::vector<Frame> sent;
Frame reply{};
int open_result = 0;
int matching_from = 0; // exchange index from which readback reads return a matching top byte

int recording_open() {
    return open_result;
}

void recording_exchange(uint8_t* frame, size_t length) {
    ASSERT_EQ(length, 6u);
    Frame copy;
    std::copy(frame, frame + 6, copy.begin());
    sent.push_back(copy);
    std::copy(reply.begin(), reply.end(), frame);
}

// Readback reads return 0x5A in the top byte until the exchange numbered
// matching_from, then 0x00 with other low bits than written.
void readback_exchange(uint8_t* frame, size_t length) {
    recording_exchange(frame, length);
    const bool match = int(sent.size()) > matching_from;
    const Frame answer{0x11, 0x22, uint8_t(match ? 0x00 : 0x5A), 0x01, 0xFF, 0xEE};
    std::copy(answer.begin(), answer.end(), frame);
}

const SpiTransport kRecording{"recording", recording_open, recording_exchange};
const SpiTransport kReadback{"readback", recording_open, readback_exchange};

class SpiRegs : public ::testing::Test {
  protected:
    void SetUp() override { use(kRecording); }
    void TearDown() override { spi_set_transport(nullptr); }

    void use(const SpiTransport& transport) {
        sent.clear();
        reply = {};
        open_result = 0;
        matching_from = 0;
        spi_set_transport(&transport);
        ASSERT_EQ(SpiOpen(), 0);
    }
};

TEST_F(SpiRegs, ReadFramesCarryCommandAndAddressThenOnes) {
    uint32_t value = 0;
    SpiRead32(0xE204, &value);
    SpiRead32(0xFF00, &value);
    SpiRead32(0xE300, &value);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], (Frame{0xE2, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(sent[1], (Frame{0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(sent[2], (Frame{0xE3, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(SpiRegs, WriteFramesCarryDataMostSignificantFirst) {
    EXPECT_EQ(SpiWrite32(0x6300, 0xA014, 0), 0);
    EXPECT_EQ(SpiWrite32(0x6200, 0x1100, 0), 0);
    EXPECT_EQ(SpiWrite32(0x6300, 0x12345678, 0), 0);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], (Frame{0x63, 0x00, 0x00, 0x00, 0xA0, 0x14}));
    EXPECT_EQ(sent[1], (Frame{0x62, 0x00, 0x00, 0x00, 0x11, 0x00}));
    EXPECT_EQ(sent[2], (Frame{0x63, 0x00, 0x12, 0x34, 0x56, 0x78}));
}

TEST_F(SpiRegs, CommandComesFromTheOperationNotTheRegisterNumber) {
    uint32_t value = 0;
    SpiRead32(0x6300, &value);
    SpiWrite32(0xE300, 1, 0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][0], 0xE3);
    EXPECT_EQ(sent[1][0], 0x63);
    EXPECT_EQ(sent[0][1], 0x00);
    EXPECT_EQ(sent[1][1], 0x00);
}

TEST_F(SpiRegs, ReadTakesReceivedBytesTwoToFiveBigEndian) {
    reply = {0xAB, 0xCD, 0x01, 0x02, 0x03, 0x04};
    uint32_t value = 0;
    EXPECT_EQ(SpiRead32(0xE308, &value), 0);
    EXPECT_EQ(value, 0x01020304u);
}

TEST_F(SpiRegs, WriteWithoutReadbackIsOneExchangeWhateverTheFpgaReturns) {
    reply = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::string out = capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6200, 0x0100, 0), 0); });
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(out, "");
}

TEST_F(SpiRegs, ReadbackMatchingFirstTimeIsTwoExchangesAndSilent) {
    use(kReadback);
    const std::string out = capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6300, 0xA014, 1), 0); });
    EXPECT_EQ(out, "");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (Frame{0x63, 0x00, 0x00, 0x00, 0xA0, 0x14}));
    EXPECT_EQ(sent[1], (Frame{0xE3, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(SpiRegs, ReadbackRetriesUntilTheTopByteMatches) {
    use(kReadback);
    matching_from = 5; // attempts one and two fail, the third matches
    const std::string out = capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6200, 0x0100, 1), 0); });
    EXPECT_EQ(out, "SPI WRITE READBACK ERROR !!\nSPI WRITE READBACK ERROR !!\n");
    ASSERT_EQ(sent.size(), 6u);
    for (size_t i = 0; i < sent.size(); i += 2)
        EXPECT_EQ(sent[i], (Frame{0x62, 0x00, 0x00, 0x00, 0x01, 0x00})) << "attempt " << i / 2;
}

TEST_F(SpiRegs, ReadbackNeverMatchingGivesUpAfter101Attempts) {
    use(kReadback);
    matching_from = 1000;
    const std::string out = capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6300, 0x0014, 1), -1); });
    std::string expected;
    for (int i = 0; i < 101; ++i)
        expected += "SPI WRITE READBACK ERROR !!\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(sent.size(), 202u);
}

TEST_F(SpiRegs, WithoutAnOpenLinkNothingReachesTheBus) {
    open_result = -1;
    spi_set_transport(&kRecording);
    EXPECT_EQ(SpiOpen(), -1);
    uint32_t value = 0x55;
    EXPECT_EQ(SpiRead32(0xE204, &value), -1);
    EXPECT_EQ(value, 0x55u);
    EXPECT_EQ(SpiWrite32(0x6200, 0x0900, 0), -1);
    EXPECT_EQ(SpiWrite32(0x6300, 0xA014, 1), -1);
    EXPECT_TRUE(sent.empty());

    spi_set_transport(nullptr);
    EXPECT_EQ(SpiOpen(), -1);
    EXPECT_EQ(SpiRead32(0xE204, &value), -1);
}

TEST_F(SpiRegs, ChangingTheTransportClosesTheLink) {
    spi_set_transport(&kReadback);
    uint32_t value = 0;
    EXPECT_EQ(SpiRead32(0xE204, &value), -1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(SpiOpen(), 0);
    EXPECT_EQ(SpiRead32(0xE204, &value), 0);
    EXPECT_EQ(sent.size(), 1u);
}

} // namespace
