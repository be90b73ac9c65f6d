// The SNTP packet: building the request, checking a reply field by field, and
// converting between NTP timestamps (seconds since 1900 and a 32-bit fraction)
// and Unix microseconds.
#include "sntp/ntp_packet.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kNtpToUnixSeconds = 2208988800; // 1900-01-01 to 1970-01-01
constexpr int64_t kMicro = 1000000;
constexpr uint8_t kModeServer = 4;
constexpr uint8_t kLeapUnsynchronised = 3;
constexpr uint8_t kMaxStratum = 15;
constexpr size_t kOriginateAt = 24;
constexpr size_t kReceiveAt = 32;
constexpr size_t kTransmitAt = 40;

uint64_t stamp_value(const uint8_t* stamp) {
    uint64_t value = 0;
    for (size_t i = 0; i < kNtpStampSize; ++i)
        value = (value << 8) | stamp[i];
    return value;
}

// A signed 32.32 fixed-point time in microseconds, rounded down.
int64_t fixed_to_us(int64_t fixed) {
    const int64_t seconds = fixed >> 32;
    const auto fraction = static_cast<uint64_t>(fixed & 0xFFFFFFFF);
    return seconds * kMicro + static_cast<int64_t>((fraction * kMicro) >> 32);
}

} // namespace

void ntp_request_make(uint8_t request[kNtpPacketSize], const uint8_t transmit[kNtpStampSize]) {
    std::memset(request, 0, kNtpPacketSize);
    request[0] = 0x0B; // leap indicator 0, version 1, mode 3 (client)
    std::memcpy(request + kTransmitAt, transmit, kNtpStampSize);
}

int ntp_reply_check(const uint8_t* reply, size_t length,
                    const uint8_t request_transmit[kNtpStampSize], NtpReplyTime& out) {
    if (length != kNtpPacketSize) return kNtpWrongSize;
    const uint8_t leap = reply[0] >> 6;
    const uint8_t mode = reply[0] & 0x07;
    const uint8_t stratum = reply[1];
    if (mode != kModeServer) return kNtpNotServerReply;
    if (std::memcmp(reply + kOriginateAt, request_transmit, kNtpStampSize) != 0)
        return kNtpWrongOriginate;
    if (stratum == 0) return kNtpKissOfDeath;
    if (leap == kLeapUnsynchronised) return kNtpUnsynchronised;
    if (stratum > kMaxStratum) return kNtpBadStratum;
    const uint64_t transmit = stamp_value(reply + kTransmitAt);
    if (transmit == 0) return kNtpNoTransmitTime;
    out.transmit_us = ntp_stamp_to_unix_us(reply + kTransmitAt);
    // Unsigned, so that a receive time in the era before the transmit time counts right.
    out.hold_us = fixed_to_us(static_cast<int64_t>(transmit - stamp_value(reply + kReceiveAt)));
    return 0;
}

int64_t ntp_stamp_to_unix_us(const uint8_t stamp[kNtpStampSize]) {
    const uint64_t value = stamp_value(stamp);
    const uint32_t seconds =
        static_cast<uint32_t>(value >> 32) - static_cast<uint32_t>(kNtpToUnixSeconds);
    return int64_t{seconds} * kMicro + fixed_to_us(static_cast<int64_t>(value & 0xFFFFFFFF));
}

void ntp_stamp_from_unix_us(int64_t unix_us, uint8_t stamp[kNtpStampSize]) {
    const int64_t seconds = unix_us / kMicro + kNtpToUnixSeconds;
    const auto micro = static_cast<uint64_t>(unix_us % kMicro);
    // The fraction rounded up, so that reading it back gives the same microsecond.
    const uint64_t value =
        (static_cast<uint64_t>(seconds) << 32) | (((micro << 32) + kMicro - 1) / kMicro);
    for (size_t i = 0; i < kNtpStampSize; ++i)
        stamp[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
}

int64_t ntp_time_at_arrival_us(const NtpReplyTime& reply, int64_t round_trip_us) {
    return reply.transmit_us + std::max<int64_t>(0, round_trip_us - reply.hold_us) / 2;
}
