// Register access over SPI against a recording bus: frame bytes, the result
// word, the readback attempts and their report, failed exchanges and the
// link's release.
#include "board/spi_regs.h"
#include "board/spi_transport.h"

#include "sandbox.h"

namespace {

using Frame = std::array<uint8_t, 6>;

std::vector<Frame> sent;
Frame reply{};
int open_result = 0, exchange_result = 0, closes = 0;
// From 0 on, reads answer 0x5A in the top data byte until exchange
// `matching_from`, then 0x00 with other low bits than written.
int matching_from = -1;

int recording_exchange(uint8_t* frame, size_t length) {
    EXPECT_EQ(length, 6u);
    if (matching_from >= 0)
        reply = {0x11, 0x22, uint8_t(int(sent.size()) >= matching_from ? 0 : 0x5A), 1, 0xFF, 0xEE};
    sent.emplace_back();
    std::copy(frame, frame + 6, sent.back().begin());
    std::copy(reply.begin(), reply.end(), frame);
    return exchange_result;
}

const SpiTransport kRecording{"recording", [] { return open_result; }, recording_exchange,
                              [] { ++closes; }};

class SpiRegs : public SandboxTest {
  protected:
    void SetUp() override {
        sent.clear();
        reply = {};
        open_result = exchange_result = closes = 0;
        matching_from = -1;
        spi_set_transport(&kRecording);
        ASSERT_EQ(SpiOpen(), 0);
    }
    void TearDown() override { spi_set_transport(nullptr); }
};

// The command comes from the operation; only the low 13 bits of the number go
// on the bus. A read takes received bytes 2 to 5; a write without readback is
// one exchange whatever the reply.
TEST_F(SpiRegs, FramesCarryCommandAddressAndDataMostSignificantFirst) {
    reply = {0xAB, 0xCD, 0x01, 0x02, 0x03, 0x04};
    uint32_t value = 0;
    EXPECT_EQ(SpiRead32(0xE204, &value), 0);
    EXPECT_EQ(value, 0x01020304u);
    SpiRead32(0xFF00, &value);
    SpiRead32(0x6300, &value);
    SpiWrite32(0x6300, 0xA014, 0);
    SpiWrite32(0xE300, 0x12345678, 0);
    EXPECT_EQ(sent, (std::vector<Frame>{{0xE2, 0x04, 0xFF, 0xFF, 0xFF, 0xFF},
                                        {0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
                                        {0xE3, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
                                        {0x63, 0x00, 0x00, 0x00, 0xA0, 0x14},
                                        {0x63, 0x00, 0x12, 0x34, 0x56, 0x78}}));
}

// A match at once is two silent exchanges; a failed attempt writes the frame
// again, 101 attempts at most. A run of failures logs once, then is counted
// until a write reads back again or the link closes.
TEST_F(SpiRegs, ReadbackRepeatsTheWriteUntilTheTopByteMatches) {
    for (const auto& [match_at, result, failures] :
         {std::tuple{0, 0, 0}, {5, 0, 2}, {1000, -1, 101}, {1000, -1, 101}}) {
        sent.clear();
        matching_from = match_at;
        capture_stdout([&] { EXPECT_EQ(SpiWrite32(0x6300, 0xA014, 1), result); });
        ASSERT_EQ(sent.size(), size_t(2 * (failures + (result == 0))));
        for (size_t i = 0; i < sent.size(); i += 2) {
            EXPECT_EQ(sent[i], (Frame{0x63, 0x00, 0x00, 0x00, 0xA0, 0x14}));
            EXPECT_EQ(sent[i + 1], (Frame{0xE3, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
        }
    }
    capture_stdout(SpiClose);
    const std::string line = "Register read-back fails: FPGA register 6300, 0000A014 written\n";
    EXPECT_EQ(sandbox.log(), " <ERR> " + line + " <ERR> Repeated 1 more times: " + line +
                                 " <ERR> " + line + " <ERR> Repeated 201 more times: " + line);
}

// A failed exchange fails the access at once, without a readback message; the
// link is released before it opens again and when another transport comes;
// without an open link nothing reaches the bus.
TEST_F(SpiRegs, FailedExchangeOrOpenFailsTheAccess) {
    exchange_result = -1;
    uint32_t value = 0x55;
    EXPECT_EQ(SpiRead32(0xE204, &value), -1);
    EXPECT_EQ(value, 0x55u);
    EXPECT_EQ(SpiWrite32(0x6200, 0x1100, 0), -1);
    EXPECT_EQ(capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6300, 0xA014, 1), -1); }), "");
    EXPECT_EQ(sent.size(), 3u);
    open_result = -1;
    EXPECT_EQ(SpiOpen(), -1);
    SpiClose();
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(SpiRead32(0xE204, &value), -1);
    EXPECT_EQ(SpiWrite32(0x6300, 0xA014, 1), -1);
    EXPECT_EQ(sent.size(), 3u);
}

} // namespace
