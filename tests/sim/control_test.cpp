// The sim control: control FIFO lines applied by the reader thread, and the
// start file.
#include "control.h"
#include "sandbox.h"
#include "sim_tuner_view.h"
#include "world.h"

namespace {

void write_fifo(const std::string& path, std::string_view text) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
}

class SimControlTest : public SandboxTest {
  protected:
    void SetUp() override { sim_world_reset(); }
    void TearDown() override {
        sim_control_stop();
        sim_world_reset();
    }
    std::string fifo() const { return sandbox.path("/sim/control"); }
};

// A file left in the FIFO's place is replaced; lines from several writers,
// split lines among them, are applied; a stop removes the FIFO.
TEST_F(SimControlTest, LinesFromSeveralWritersThenAStopRemovesTheFifo) {
    sandbox.write("/sim/control", "left behind");
    ASSERT_EQ(sim_control_start(), 0);
    struct stat st {};
    ASSERT_EQ(stat(fifo().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFIFO | 0666u);
    write_fifo(fifo(), "switch on\nsn");
    write_fifo(fifo(), "r 12\nnonsense here\nber 5 ");
    write_fifo(fifo(), "40\r\n");
    ASSERT_TRUE(eventually([] { return sim_world().ber_b == 40; }));
    const SimWorld w = sim_world();
    EXPECT_TRUE(w.switch_on);
    EXPECT_EQ(std::pair(w.snr, w.ber_a), std::pair(12, 5u));
    sim_control_stop();
    EXPECT_FALSE(fs::exists(fifo()));
}

} // namespace

// The start file: each of its lines, comments and blank ones left out, and one
// whose value is out of range refused.
TEST_F(SimControlTest, StartFileLinesAreAppliedOrRefused) {
    sandbox.write("/sim/start", "switch on\n# a comment\n\nsnr 7\nlevel 256\n");
    testing::internal::CaptureStderr();
    capture_stdout(sim_apply_start_file);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::tuple(sim_world().switch_on, sim_world().snr, sim_world().level),
              std::tuple(true, 7, 180));
}

// What the tuner sees is published after each change, for a library in another
// process; a stall of the SPI bus holds back the next exchange only.
TEST_F(SimControlTest, TunerViewPublishedAfterEachChangeAndAStallTakenOnce) {
    const std::string published = sandbox.path("/tuner-view");
    sim_world_publish_view(published);
    for (const char* line : {"signal off", "snr 12", "tuner delay 1500", "spi stall 3"})
        ASSERT_EQ(sim_world_apply(line), 0) << line;
    sim_world_publish_view("");
    SimTunerView view{};
    std::ifstream(published, std::ios::binary).read(reinterpret_cast<char*>(&view), sizeof view);
    EXPECT_EQ(std::tuple(view.signal, view.snr, view.level, view.delay_ms),
              std::tuple(0, 12, 180, 1500u));
    EXPECT_EQ(sim_world_take_spi_stall_ms(), 3000u);
    EXPECT_EQ(sim_world_take_spi_stall_ms(), 0u);
}
