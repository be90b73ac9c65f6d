// The SNTP packet: the client's request, the checks a reply must pass before
// its time is used, and the timestamp arithmetic. Pure functions on bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kNtpPacketSize = 48;
constexpr size_t kNtpStampSize = 8;

// Why a reply is refused (0: it is used).
enum NtpReplyFault : int {
    kNtpWrongSize = -4,
    kNtpNotServerReply = -5,
    kNtpWrongOriginate = -6,
    kNtpKissOfDeath = -7,
    kNtpUnsynchronised = -8,
    kNtpBadStratum = -9,
    kNtpNoTransmitTime = -10,
};

// What a good reply tells: the server's transmit time as Unix microseconds, and
// how long the server held the request (its transmit minus its receive time).
struct NtpReplyTime {
    int64_t transmit_us;
    int64_t hold_us;
};

// A client request (leap 0, version 1, mode 3) carrying the given transmit
// timestamp, which the server's reply echoes as its originate timestamp.
void ntp_request_make(uint8_t request[kNtpPacketSize], const uint8_t transmit[kNtpStampSize]);

// Checks a reply against the transmit timestamp of our request: a server reply
// (mode 4) of 48 bytes echoing that timestamp, a synchronised server (stratum 1
// to 15, leap indicator not 3) and a transmit timestamp that is not zero.
// Returns 0 with `out` filled, or the first fault found.
int ntp_reply_check(const uint8_t* reply, size_t length,
                    const uint8_t request_transmit[kNtpStampSize], NtpReplyTime& out);

// An NTP timestamp as Unix microseconds; the seconds count modulo 2^32, so
// that the era after 2036 follows on (valid from 1970 to 2106).
int64_t ntp_stamp_to_unix_us(const uint8_t stamp[kNtpStampSize]);
void ntp_stamp_from_unix_us(int64_t unix_us, uint8_t stamp[kNtpStampSize]);

// The server's time when its reply arrived: its transmit time plus half the
// network delay, i.e. of the round trip measured by the client less the
// server's hold time (never negative).
int64_t ntp_time_at_arrival_us(const NtpReplyTime& reply, int64_t round_trip_us);
