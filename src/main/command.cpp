// Command dispatch: each message read from the control FIFO is matched against
// the command words, and the "reg" and "iic" test commands drive the register
// device and the IIC bridge.
#include "main/command.h"
#include "main/command_words.h"

#include "board/fpga_device.h"
#include "board/iic_bridge.h"
#include "log/status_log.h"
#include "main/lifecycle.h"
#include "main/setup_change.h"
#include "os/pace.h"
#include "os/service_manager.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/factory_reset.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUpdatePackage = "/usr/kelvatro/upload/data.tar.gz";
constexpr const char* kUploadCommand =
    "cd /usr/kelvatro/upload; tar xzvf data.tar.gz; /bin/sh setup.sh; sync;";
constexpr const char* kUploadFpgaCommand =
    "cd /usr/kelvatro/upload; tar xzvf data.tar.gz; /bin/sh setup_fpga.sh ; sync;";
// Ends any running instance of the end script.
constexpr const char* kEndScriptKill =
    R"(ps | grep '/bin/sh /var/kelvatro/bin/kelvsys_end' | egrep -v grep | awk '{print "kill ", $1}' | sh)";
constexpr const char* kEndScript = "/bin/sh /var/kelvatro/bin/kelvsys_end";
// An update's scripts (a package's setup, the FPGA's programming) run for
// minutes, and the program ends after them: a watchdog of ticks must not cut
// them short, only one hung for an hour.
constexpr unsigned kUpdateSeconds = 3600;

int run_reg(const char* message) {
    reg_command(message);
    return 1;
}

int run_iic(const char* message) {
    iic_command(message);
    return 1;
}

int run_setup_change(const char* message) {
    std::string text(message);
    HandleSetupChange(text.data());
    return 1;
}

// An update whose package is missing still runs its commands, but says why
// nothing changes.
void check_update_package() {
    if (unit_access(kUpdatePackage, F_OK) != 0)
        LogPrint(LOG_TO_BOTH, 3, "Update package %s missing: nothing to install\n", kUpdatePackage);
}

int run_upload(const char*) {
    LogPrint(LOG_TO_BOTH, 6, "File UpLoad & UpDate\n");
    check_update_package();
    main_flags.running = 0;
    main_flags.reboot = 1;
    service_allow_seconds(kUpdateSeconds);
    run_command(kUploadCommand);
    return 0;
}

int run_upload_fpga(const char*) {
    LogPrint(LOG_TO_BOTH, 6, "File UpLoad & UpDate [FPGA]\n");
    check_update_package();
    main_flags.running = 0;
    main_flags.reboot = 0;
    service_allow_seconds(kUpdateSeconds);
    pace_sleep_seconds(3);
    run_command(kEndScriptKill);
    run_command(kUploadFpgaCommand);
    run_command(kEndScript);
    return 0;
}

int run_reset(const char*) {
    LogPrint(LOG_TO_BOTH, 6, "Main Program Reset\n");
    main_flags.running = 0;
    return 1;
}

int run_end(const char*) {
    LogPrint(LOG_TO_BOTH, 6, "Main Program End\n");
    main_flags.running = 0;
    main_flags.shutdown = 1;
    return 0;
}

int run_reboot(const char*) {
    LogPrint(LOG_TO_BOTH, 6, "Main Program End\n");
    main_flags.running = 0;
    main_flags.reboot = 1;
    return 0;
}

int run_factory_reset(const char*) {
    LogPrint(LOG_TO_BOTH, 6, "ORV Factory Reset\n");
    FactoryReset();
    LogDeleteArchive();
    main_flags.running = 0;
    main_flags.reboot = 1;
    return 0;
}

// The lines that writers of the FIFO can cause at will, each kind at most once
// a second, the rest counted: the echo of the test commands, refusals of "iic"
// and the archive deletion.
LogFlood reg_written;
LogFlood reg_read;
LogFlood iic_written;
LogFlood iic_read;
LogFlood iic_refusals;
LogFlood log_deletions;

int run_log_delete(const char*) {
    LogLimited(log_deletions, 6, "ORV Log delete\n");
    LogDeleteArchive();
    return 1;
}

struct Command {
    std::string_view word; // compared over its length with the message's start
    int (*run)(const char* message);
    bool ends_pass;
};

constexpr std::array<Command, 10> kCommands{{
    {"reg", run_reg, false},
    {"iic", run_iic, false},
    {"[SetupChange]", run_setup_change, false},
    {"[UpLoad]", run_upload, true},
    {"[UpLoadFpga]", run_upload_fpga, true},
    {"RESET", run_reset, true},
    {"END", run_end, true},
    {"REBOOT", run_reboot, true},
    {"FACTORY_RESET", run_factory_reset, true},
    {"LOG_DELETE", run_log_delete, false},
}};
static_assert([] {
    for (size_t i = 0; i < kCommands.size(); ++i)
        if (kCommands[i].word != kCommandWords.at(i)) return false;
    return kCommands.size() == kCommandWords.size();
}());

// The test commands read the first 127 characters of the message as tokens.
constexpr size_t kWorkBufferSize = 128;
constexpr const char* kSeparators = " ,=\t\r\n";

std::vector<std::string> tokens_of(const char* message) {
    std::array<char, kWorkBufferSize> work{};
    std::strncpy(work.data(), message, work.size() - 1);
    std::vector<std::string> tokens;
    char* rest = nullptr;
    for (char* token = strtok_r(work.data(), kSeparators, &rest); token;
         token = strtok_r(nullptr, kSeparators, &rest))
        tokens.emplace_back(token);
    return tokens;
}

bool first_token_is(const std::vector<std::string>& tokens, std::string_view word) {
    return !tokens.empty() && tokens[0].starts_with(word);
}

uint32_t hex_number(const std::string& token) {
    return static_cast<uint32_t>(std::strtoul(token.c_str(), nullptr, 16));
}

uint8_t hex_byte(const std::string& token) {
    return static_cast<uint8_t>(hex_number(token));
}

// "0A ,FF ," for the bytes 0x0A and 0xFF.
std::string echo_text(const uint8_t* bytes, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        char piece[8];
        std::snprintf(piece, sizeof piece, "%02X ,", bytes[i]);
        text += piece;
    }
    return text;
}

// The IIC bridge's registers (command, status, control, data) and bit rate.
constexpr std::array<uint32_t, 4> kIicBridgeRegs{0x1000, 0x1004, 0x1008, 0x1200};
constexpr uint32_t kIicBitRateKhz = 100;
constexpr int kIicMaxBytes = 16;

void report_open_failure(int channel) {
    std::printf("Error Zentu_Open() %d\n", channel);
}

} // namespace

bool begins_with_command_word(std::string_view text) {
    return std::any_of(kCommands.begin(), kCommands.end(),
                       [text](const Command& command) { return text.starts_with(command.word); });
}

std::string_view pass_ending_word(std::string_view text) {
    const auto command = std::find_if(kCommands.begin(), kCommands.end(), [text](const Command& c) {
        return c.ends_pass && text.starts_with(c.word);
    });
    return command == kCommands.end() ? std::string_view() : command->word;
}

// Messages that begin with no command word, which any writer can send at will:
// a line a second, the others counted.
LogFlood unknown_messages;

// No command word is the beginning of another: at most one applies.
int main_command(const char* message) {
    const auto command = std::find_if(kCommands.begin(), kCommands.end(), [&](const Command& c) {
        return std::strncmp(message, c.word.data(), c.word.size()) == 0;
    });
    if (command == kCommands.end()) {
        const std::string_view text(message);
        LogLimited(unknown_messages, 3, "Unknown control message ignored: %s\n",
                   LogEscaped(text.substr(0, text.find_first_of("\r\n")), 60).c_str());
        return 1;
    }
    return command->run(message);
}

int reg_command(const char* message) {
    const auto tokens = tokens_of(message);
    if (!first_token_is(tokens, "reg") || tokens.size() < 2) return 0;
    const uint32_t address = hex_number(tokens[1]);
    uint32_t data = 0;
    if (tokens.size() > 2) {
        data = hex_number(tokens.back());
        FpgaWrite32(address, data);
        LogLimited(reg_written, 7, "reg (w) : addr=%08X, data=%08X\n", address, data);
    }
    FpgaRead32(address, &data);
    LogLimited(reg_read, 7, "reg (r) : addr=%08X, data=%08X\n", address, data);
    return 0;
}

int iic_command(const char* message) {
    const auto tokens = tokens_of(message);
    if (!first_token_is(tokens, "iic") || tokens.size() < 5) return 0;
    const uint8_t port = hex_byte(tokens[1]);
    const uint8_t slave = hex_byte(tokens[2]);
    const int count = hex_byte(tokens[3]);
    if (count > kIicMaxBytes) {
        LogLimited(iic_refusals, 3, "iic : byte count %d out of range (0 to 16), not done\n",
                   count);
        return 0;
    }

    // The register address byte, then the data bytes to write.
    std::array<uint8_t, 1 + kIicMaxBytes> write_buffer{};
    std::array<uint8_t, kIicMaxBytes> read_buffer{};
    write_buffer[0] = hex_byte(tokens[4]);
    const size_t data_tokens = std::min<size_t>(tokens.size() - 5, kIicMaxBytes);
    for (size_t i = 0; i < data_tokens; ++i)
        write_buffer[1 + i] = hex_byte(tokens[5 + i]);
    const uint8_t reg = write_buffer[0];

    std::puts("Zentu_IIC_Open()");
    const int channel = Zentu_IIC_Open(kIicBridgeRegs.data(), port, slave, kIicBitRateKhz);
    if (data_tokens > 0) {
        if (channel < 0)
            report_open_failure(channel);
        else
            Zentu_IIC_Write(channel, write_buffer.data(), count + 1);
        LogLimited(iic_written, 7, "iic (w) : addr=%02X, data=%s\n", reg,
                   echo_text(&write_buffer[1], count).c_str());
    }
    if (channel < 0)
        report_open_failure(channel);
    else
        Zentu_IIC_WriteRead(channel, &reg, 1, read_buffer.data(), count);
    LogLimited(iic_read, 7, "iic (r) : addr=%02X, data=%s \n", reg,
               echo_text(read_buffer.data(), count).c_str());
    Zentu_IIC_Close(channel);
    return 0;
}
