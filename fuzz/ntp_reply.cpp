// A datagram from the network taken as the reply to our SNTP query: the first
// eight bytes of an input are the transmit timestamp of our request, the rest
// is what arrived. A reply is used only when every field says it is a good
// server's answer to that request, and the time it gives is then well formed.
#include "fuzz_sandbox.h"
#include "sntp/ntp_packet.h"

#include <cstring>

namespace {

constexpr int64_t kMicro = 1000000;
constexpr int64_t kStampRangeUs = 0x100000000LL * kMicro; // 2^32 seconds from 1970 on

uint64_t stamp_at(const uint8_t* stamp) {
    uint64_t value = 0;
    for (size_t i = 0; i < kNtpStampSize; ++i)
        value = (value << 8) | stamp[i];
    return value;
}

void check_used_reply(const uint8_t* reply, const uint8_t* request, const NtpReplyTime& time) {
    FUZZ_CHECK((reply[0] & 0x07) == 4);
    FUZZ_CHECK((reply[0] >> 6) != 3);
    FUZZ_CHECK(reply[1] >= 1 && reply[1] <= 15);
    FUZZ_CHECK(std::memcmp(reply + 24, request, kNtpStampSize) == 0);
    FUZZ_CHECK(stamp_at(reply + 40) != 0);
    FUZZ_CHECK(time.transmit_us >= 0 && time.transmit_us < kStampRangeUs);
    // The time at arrival never lies before the server's transmit time.
    for (const int64_t round_trip_us : {int64_t{0}, int64_t{1}, int64_t{500000}, time.hold_us})
        FUZZ_CHECK(ntp_time_at_arrival_us(time, round_trip_us) >= time.transmit_us);
}

// A time written as a stamp reads back as the same microsecond.
void check_stamp_round_trip(const uint8_t* data) {
    const int64_t unix_us = int64_t(stamp_at(data) % uint64_t(kStampRangeUs));
    uint8_t stamp[kNtpStampSize];
    ntp_stamp_from_unix_us(unix_us, stamp);
    FUZZ_CHECK(ntp_stamp_to_unix_us(stamp) == unix_us);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kNtpStampSize) return 0;
    const uint8_t* request = data;
    const uint8_t* reply = data + kNtpStampSize;
    const size_t length = size - kNtpStampSize;
    check_stamp_round_trip(request);

    NtpReplyTime time{-1, -1};
    const int fault = ntp_reply_check(reply, length, request, time);
    FUZZ_CHECK(fault <= 0 && fault >= kNtpNoTransmitTime);
    if (fault != 0) return 0;
    FUZZ_CHECK(length == kNtpPacketSize);
    check_used_reply(reply, request, time);
    return 0;
}
