// The simulated register device: a sparse 32-bit FPGA address space seen
// through the driver's select-then-transfer interface, holding the IIC bridge
// (command, status, control, transfer memory) and the IIC slaves on port 0.
#include "reg_device.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

namespace {

constexpr uint32_t kBridgeCommand = 0x1000;
constexpr uint32_t kBridgeStatus = 0x1004;
constexpr uint32_t kBridgeData = 0x1200;
constexpr uint32_t kReadDataOffset = 32;

constexpr uint32_t kStatusComplete = 0x1;
constexpr uint32_t kStatusNoAnswer = 0x2;
constexpr uint32_t kStatusBadRequest = 0x4;

constexpr uint8_t kMemorySlave = 0x50;
constexpr int kFirstFd = 1000;

// A 256-byte memory on the bus: the first byte written sets the address
// pointer, further bytes are stored from there; reads continue from it.
struct MemorySlave {
    std::array<uint8_t, 256> cells{};
    uint8_t pointer = 0;
};

struct Board {
    std::unordered_map<uint32_t, uint32_t> memory;
    std::set<int> open_fds;
    int next_fd = kFirstFd;
    uint32_t selected = 0;
    MemorySlave eeprom;
};

std::mutex board_lock;
Board board;

uint32_t load(uint32_t address) {
    const auto it = board.memory.find(address);
    return it == board.memory.end() ? 0 : it->second;
}

std::vector<uint8_t> transfer_bytes(uint32_t offset, int count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        bytes[size_t(i)] = uint8_t(load(kBridgeData + offset + uint32_t(i / 4) * 4) >> 8 * (i % 4));
    return bytes;
}

void store_read_data(const std::vector<uint8_t>& bytes) {
    for (size_t offset = 0; offset < bytes.size(); offset += 4) {
        uint32_t word = 0;
        for (size_t j = 0; j < 4 && offset + j < bytes.size(); ++j)
            word |= uint32_t(bytes[offset + j]) << 8 * j;
        board.memory[kBridgeData + kReadDataOffset + uint32_t(offset)] = word;
    }
}

MemorySlave* slave_at(uint32_t port, uint8_t slave) {
    return port == 0 && slave == kMemorySlave ? &board.eeprom : nullptr;
}

uint32_t slave_write(MemorySlave& slave, const std::vector<uint8_t>& data) {
    slave.pointer = data[0];
    for (size_t i = 1; i < data.size(); ++i)
        slave.cells[slave.pointer++] = data[i];
    return kStatusComplete;
}

uint32_t slave_read(MemorySlave& slave, int count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count));
    for (auto& byte : bytes)
        byte = slave.cells[slave.pointer++];
    store_read_data(bytes);
    return kStatusComplete;
}

// Carries out the request image in the transfer memory; returns the status bit.
uint32_t run_request(uint32_t command) {
    if ((command >> 16) != 0x1808) return kStatusBadRequest;
    const std::vector<uint8_t> head = transfer_bytes(0, 4);
    if (head[0] != 0xFE || head[1] != 0xFD) return kStatusBadRequest;
    MemorySlave* slave = slave_at((command >> 12) & 0xF, head[2]);
    if (!slave) return kStatusNoAnswer;
    const int count = (head[3] & 0x0F) + 1;
    if (head[3] & 0x10) return slave_read(*slave, count);
    return slave_write(*slave, transfer_bytes(4, count));
}

void store(uint32_t address, uint32_t value) {
    if (address == kBridgeStatus) {
        board.memory[address] = load(address) & ~value;
    } else if (address == kBridgeCommand) {
        board.memory[address] = value;
        board.memory[kBridgeStatus] = load(kBridgeStatus) | run_request(value);
    } else {
        board.memory[address] = value;
    }
}

bool known_fd(int fd) {
    if (board.open_fds.count(fd)) return true;
    errno = EBADF;
    return false;
}

int sim_open(const char*) {
    std::lock_guard lock(board_lock);
    const int fd = board.next_fd++;
    board.open_fds.insert(fd);
    return fd;
}

int sim_close(int fd) {
    std::lock_guard lock(board_lock);
    if (!known_fd(fd)) return -1;
    board.open_fds.erase(fd);
    return 0;
}

int sim_ioctl(int fd, unsigned long request, uint32_t* address) {
    std::lock_guard lock(board_lock);
    if (!known_fd(fd)) return -1;
    if (request != kRegDeviceSelect) {
        errno = ENOTTY;
        return -1;
    }
    board.selected = *address;
    return 0;
}

ssize_t sim_read(int fd, void* buf, size_t length) {
    std::lock_guard lock(board_lock);
    if (!known_fd(fd)) return -1;
    if (length != sizeof(uint32_t)) {
        errno = EINVAL;
        return -1;
    }
    const uint32_t value = load(board.selected);
    std::memcpy(buf, &value, sizeof value);
    return sizeof value;
}

ssize_t sim_write(int fd, const void* buf, size_t length) {
    std::lock_guard lock(board_lock);
    if (!known_fd(fd)) return -1;
    if (length != sizeof(uint32_t)) {
        errno = EINVAL;
        return -1;
    }
    uint32_t value;
    std::memcpy(&value, buf, sizeof value);
    store(board.selected, value);
    return sizeof value;
}

constexpr RegDeviceOps kSimRegDevice{sim_open, sim_close, sim_ioctl, sim_read, sim_write};

} // namespace

const RegDeviceOps* sim_reg_device_ops() {
    return &kSimRegDevice;
}
